// What tests and the scenario runner use to lay out the DOS device names
// beyond the two volumes' letters (see files_control.h). Nothing here is
// visible to driver code.
#pragma once

#include "hostkernel/control.h"

namespace hk {

// Defines a drive letter ("E:") in the global directory as the system's own
// mount manager does, to an NT name ("\Device\HarddiskVolume3\Data"); a
// target that names a "\Device\HarddiskVolumeN" not yet present makes that
// volume, empty. Letters and volumes survive a reboot.
// STATUS_OBJECT_NAME_COLLISION when the letter exists.
NTSTATUS DefineGlobalLetter(const std::u16string& letter, const std::u16string& target);

// The NT name a "C:\..." path or an NT name resolves to in the global
// directory, whether or not it exists; empty when its letter does not.
std::u16string GlobalName(const std::u16string& path);

} // namespace hk
