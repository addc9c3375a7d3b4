// The count of device creations since installation, kept in the registry
// as "InstallTimes" under the driver's Parameters key, so that the first
// creation after installation can be told from later ones.
#pragma once

#include "platform/platform.h"

// Counts one device creation. TRUE when it is to be treated as the first
// after installation: the count was absent, 0, unreadable, or wrapped to 0.
BOOLEAN CountInstallation();

// Forgets the count, so that the next device creation counts as the first.
VOID ResetInstallCounter();
