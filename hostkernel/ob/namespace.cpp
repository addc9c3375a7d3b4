// The object manager's namespace as far as files need it: the "\??"
// directory (also reached as "\DosDevices" and "\GLOBAL??") whose drive
// letters are symbolic links to volumes, and "\Device" holding the volumes.
// A name is followed component by component; what lies beyond a volume's
// device name is the volume's file system's business.
#include "hostkernel/fs/file_systems.h"

namespace hk {

namespace {

struct Namespace {
    std::map<std::u16string, std::u16string> DriveLinks;       // upcased "C:" -> volume device name
    std::map<std::u16string, std::unique_ptr<Volume>> Volumes; // upcased device name -> volume
};

std::unique_ptr<Namespace> g_namespace;

void AddVolume(const std::u16string& device, const std::u16string& letter) {
    auto volume = std::make_unique<Volume>();
    volume->DeviceName = device;
    volume->Root = std::make_shared<FsNode>();
    volume->Root->Directory = true;
    g_namespace->Volumes[Upcase(device)] = std::move(volume);
    g_namespace->DriveLinks[Upcase(letter)] = device;
}

// The first component of `name` at `position` (just after a backslash), and
// where the rest begins (at the next backslash, or the end).
std::u16string Component(const std::u16string& name, size_t position, size_t* next) {
    *next = name.find(u'\\', position);
    if (*next == std::u16string::npos) {
        *next = name.size();
    }
    return name.substr(position, *next - position);
}

// A component that is not there: the name was not found when it was the
// last one, its path otherwise.
NTSTATUS Missing(const std::u16string& name, size_t next) {
    return next >= name.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

bool IsDosDevicesDirectory(const std::u16string& upcased) {
    return upcased == u"??" || upcased == u"DOSDEVICES" || upcased == u"GLOBAL??";
}

} // namespace

// A reboot keeps the volumes with their files.
void ResetNamespace() {
    if (Rebooting() && g_namespace) {
        return;
    }
    g_namespace = std::make_unique<Namespace>();
    AddVolume(kSystemVolume, u"C:");
    AddVolume(kSecondVolume, u"D:");
}

NTSTATUS ResolveVolumePath(const std::u16string& name, Volume** volume, std::u16string* rest) {
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::u16string path = name;
    size_t next = 0;
    std::u16string first = Upcase(Component(path, 1, &next));
    if (IsDosDevicesDirectory(first)) {
        if (next + 1 >= path.size()) {
            return STATUS_OBJECT_TYPE_MISMATCH; // the directory itself is no file
        }
        size_t after = 0;
        std::u16string letter = Component(path, next + 1, &after);
        auto link = g_namespace->DriveLinks.find(Upcase(letter));
        if (link == g_namespace->DriveLinks.end()) {
            return letter.empty() ? STATUS_OBJECT_NAME_INVALID : Missing(path, after);
        }
        path = link->second + path.substr(after);
        first = Upcase(Component(path, 1, &next));
    }
    if (first != u"DEVICE") {
        return first.empty() ? STATUS_OBJECT_NAME_INVALID : Missing(path, next);
    }
    if (next + 1 >= path.size()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    size_t after = 0;
    std::u16string device = path.substr(0, after = path.find(u'\\', next + 1));
    if (after == std::u16string::npos) {
        device = path;
        after = path.size();
    }
    auto found = g_namespace->Volumes.find(Upcase(device));
    if (found == g_namespace->Volumes.end()) {
        return Missing(path, after);
    }
    *volume = found->second.get();
    *rest = path.substr(after);
    return STATUS_SUCCESS;
}

} // namespace hk
