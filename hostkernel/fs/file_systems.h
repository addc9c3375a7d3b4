// What the simulated file systems share with the object manager's namespace
// and with process images inside the host kernel: volumes, their nodes, and
// the resolution of names on them.
#pragma once

#include "hostkernel/fs/files_control.h"
#include "hostkernel/ob/object_manager.h"

namespace hk {

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

// The parts' resets.
void ResetNamespace();
void ResetFileSystems();

} // namespace hk
