// The DOS device names as the object manager resolves them: the global
// directory "\GLOBAL??" (the system's drive letters, "GLOBALROOT" and
// "Global", and the links drivers create under "\DosDevices" or "\??"), and
// one directory for each logon session, which "\??" and "\DosDevices" look
// in first. A process's logon session follows its token's user: processes
// of one user share one; LocalSystem's is the global directory itself.
#pragma once

#include "hostkernel/kernel_state.h"

namespace hk {

// Follows the symbolic links of an absolute name in `process`'s view until
// the name leaves the DOS device directories; the result is an absolute
// name such as "\Device\HarddiskVolume3\Users". Fails with the object
// manager's status when a link is missing or the name is malformed.
NTSTATUS ResolveObjectName(const std::u16string& name, HkProcess* process,
                           std::u16string* resolved);

// Whether the global directory holds `name` (a drive letter such as "C:").
bool GlobalDosDeviceExists(const std::u16string& name);

// Whether a process acts as a member of the Administrators.
bool IsAdministrator(HkProcess* process);

// Adds a link to the process's own DOS device directory, or to the global
// one when `global` is set or the process is LocalSystem's. In a session's
// directory a link with a holder lives as long as the holder does (a
// temporary object, alive while its handle is open); any other stays until
// the next boot. STATUS_OBJECT_NAME_COLLISION when the directory already
// holds the name.
NTSTATUS CreateDosDeviceLink(HkProcess* process, const std::u16string& name,
                             const std::u16string& target, const std::shared_ptr<void>& holder,
                             bool global);

// The kind of handles to symbolic links, and the close of a process's
// handles to them when it ends (its temporary links go with them).
inline const std::string kSymbolicLinkKind = "symbolic link";
void CloseSymbolicLinks(HkProcess* process);

} // namespace hk
