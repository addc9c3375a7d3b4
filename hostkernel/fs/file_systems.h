// What the object manager's namespace, the simulated file systems, the
// object routines and process images share inside the host kernel.
#pragma once

#include "hostkernel/fs/files_control.h"
#include "hostkernel/ke/components.h"

namespace hk {

// The kinds of handle to objects of the object manager.
inline const std::string kFileKind = "file";
inline const std::string kProcessKind = "process";

// One directory or file of a simulated volume.
struct FsNode {
    std::u16string Name;                                       // as created; empty for the root
    bool Directory = false;                                    // a directory, else a file
    FsNode* Parent = nullptr;                                  // null for the root
    std::map<std::u16string, std::shared_ptr<FsNode>> Entries; // by upcased name
};

// A volume: its device name and its file system.
struct Volume {
    std::u16string DeviceName;    // "\Device\HarddiskVolumeN"
    std::shared_ptr<FsNode> Root; // its root directory
};

// Where an absolute object name leads on a volume: the volume, and the rest
// of the name after the volume's device name (empty, or beginning with "\").
// Fails with the object manager's status when it leads nowhere.
NTSTATUS ResolveVolumePath(const std::u16string& name, Volume** volume, std::u16string* rest);

// Walks a rest of a name on a volume to an existing node, with the file
// system's statuses for invalid names and missing components. `trailing`
// is set when the rest ends in a backslash.
NTSTATUS WalkVolume(Volume& volume, const std::u16string& rest, std::shared_ptr<FsNode>* node,
                    bool* trailing);

// The full NT name of a node: the volume's device name and the names of the
// directories down to it, in their stored case.
std::u16string NodeName(const Volume& volume, const FsNode& node);

// The name of a live file object the file systems opened; false for
// anything else.
bool FindFileObjectName(PVOID object, std::u16string* name);

// Checks that a routine of the object manager, the file systems or the
// process manager runs at or below APC_LEVEL.
void CheckObjectLevel(const char* rule, const void* caller, const std::string& object);

// The parts' reset and leak checks.
void ResetNamespace();
void ResetFileSystems();
void ResetObjects();
void FindObjectLeaks(std::vector<std::string>& leaks);

} // namespace hk
