// What tests and the scenario runner use to lay out simulated volumes, to
// start processes from executables on them, and to make the file and object
// routines fail. Nothing here is visible to driver code.
//
// A fresh kernel has two volumes, each with an empty root directory:
// "\Device\HarddiskVolume3" reached as C: and "\Device\HarddiskVolume4"
// reached as D: (links "\??\C:" and "\??\D:"). Paths given to these controls
// are drive-letter paths ("C:\Program Files\Corvyn") or NT paths
// ("\??\C:\...", "\Device\HarddiskVolume3\..."); names are compared without
// regard to case and keep the case they were created with. Files survive a
// reboot (hk::Reboot); a reset starts with empty volumes.
#pragma once

#include "hostkernel/control.h"

namespace hk {

inline const std::u16string kSystemVolume = u"\\Device\\HarddiskVolume3";
inline const std::u16string kSecondVolume = u"\\Device\\HarddiskVolume4";

// Creates a directory and its missing parents. Fails with the platform's
// status for an invalid name, or a component that is a file.
NTSTATUS MakeDirectory(const std::u16string& path);
// Creates a file, and its directory's missing parents.
NTSTATUS MakeFile(const std::u16string& path);

// The full NT name of an existing file or directory
// ("\Device\HarddiskVolume3\Program Files\..."), in its stored case; empty
// when there is none.
std::u16string DevicePath(const std::u16string& path);

// A process running the executable at `path`, which must be an existing
// file; null otherwise. The process snapshot lists its bare file name, and
// its image file name is the file's full NT name.
HkProcess* CreateProcessFromImage(const std::u16string& path);

// References to objects that drivers took and have not released yet.
size_t ObjectReferenceCount();

} // namespace hk
