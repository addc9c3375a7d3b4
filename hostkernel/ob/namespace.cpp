// The object manager's namespace as far as files and devices need it: the
// DOS device directories (global and per logon session) whose drive letters
// and device names are symbolic links, and "\Device" holding the volumes. A
// name is followed link by link; what lies beyond a volume's device name is
// the volume's file system's business.
#include "hostkernel/fs/file_systems.h"
#include "hostkernel/ob/dos_devices.h"
#include "hostkernel/ob/namespace_control.h"
#include "hostkernel/se/security_internal.h"

namespace hk {

namespace {

// A link of a logon session's directory.
struct SessionLink {
    std::u16string Target;      // where it leads
    std::weak_ptr<void> Holder; // what keeps a temporary link alive
    bool Temporary = false;     // lives only while Holder does
};

struct Namespace {
    std::map<std::u16string, std::u16string> Global; // upcased name in \GLOBAL?? -> target
    std::map<std::u16string, std::unique_ptr<Volume>> Volumes; // upcased device name -> volume
    // Logon session (its user's SID) -> upcased name -> link; cleared by a reboot.
    std::map<std::string, std::map<std::u16string, SessionLink>> Sessions;
};

std::unique_ptr<Namespace> g_namespace;

// A chain of links longer than this is a loop.
constexpr int kMaximumLinks = 32;

const std::string kGlobalSession; // LocalSystem's: the global directory itself

void AddVolume(const std::u16string& device) {
    auto volume = std::make_unique<Volume>();
    volume->DeviceName = device;
    volume->Root = std::make_shared<FsNode>();
    volume->Root->Directory = true;
    g_namespace->Volumes[Upcase(device)] = std::move(volume);
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

std::string SessionOf(HkProcess* process) {
    std::string user = SidText(ProcessToken(process).User.data());
    return user == "S-1-5-18" ? kGlobalSession : user;
}

// The target of a name in the global directory: the system's letters and
// roots, then the links drivers created.
bool FindGlobal(const std::u16string& upcased, std::u16string* target) {
    auto found = g_namespace->Global.find(upcased);
    if (found != g_namespace->Global.end()) {
        *target = found->second;
        return true;
    }
    for (const std::u16string prefix : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
        auto link = K().Links.find(prefix + upcased);
        if (link != K().Links.end()) {
            *target = link->second;
            return true;
        }
    }
    return false;
}

bool FindInSession(const std::string& session, const std::u16string& upcased,
                   std::u16string* target) {
    auto directory = g_namespace->Sessions.find(session);
    if (session == kGlobalSession || directory == g_namespace->Sessions.end()) {
        return false;
    }
    auto link = directory->second.find(upcased);
    if (link == directory->second.end() ||
        (link->second.Temporary && link->second.Holder.expired())) {
        return false;
    }
    *target = link->second.Target;
    return true;
}

} // namespace

// A reboot keeps the volumes with their files and the system's letters; the
// logon sessions end.
void ResetNamespace() {
    if (Rebooting() && g_namespace) {
        g_namespace->Sessions.clear();
        return;
    }
    g_namespace = std::make_unique<Namespace>();
    AddVolume(kSystemVolume);
    AddVolume(kSecondVolume);
    g_namespace->Global[u"C:"] = kSystemVolume;
    g_namespace->Global[u"D:"] = kSecondVolume;
    g_namespace->Global[u"GLOBALROOT"] = u"";
    g_namespace->Global[u"GLOBAL"] = u"\\GLOBAL??";
}

NTSTATUS ResolveObjectName(const std::u16string& name, HkProcess* process,
                           std::u16string* resolved) {
    std::u16string path = name;
    for (int links = 0; links <= kMaximumLinks; links++) {
        if (path.empty() || path[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        size_t next = 0;
        std::u16string first = Upcase(Component(path, 1, &next));
        bool session = first == u"??" || first == u"DOSDEVICES";
        if (!session && first != u"GLOBAL??") {
            *resolved = path;
            return STATUS_SUCCESS;
        }
        if (next + 1 >= path.size()) {
            return STATUS_OBJECT_TYPE_MISMATCH; // the directory itself is no file or device
        }
        size_t after = 0;
        std::u16string entry = Upcase(Component(path, next + 1, &after));
        std::u16string target;
        if (entry.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (!(session && FindInSession(SessionOf(process), entry, &target)) &&
            !FindGlobal(entry, &target)) {
            return Missing(path, after);
        }
        path = target + path.substr(after);
        if (path.empty()) {
            return STATUS_OBJECT_TYPE_MISMATCH; // the root directory
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

bool GlobalDosDeviceExists(const std::u16string& name) {
    std::u16string target;
    return FindGlobal(Upcase(name), &target);
}

bool IsAdministrator(HkProcess* process) {
    return TokenHolds(ProcessToken(process), ParseSid("S-1-5-32-544").data());
}

NTSTATUS CreateDosDeviceLink(HkProcess* process, const std::u16string& name,
                             const std::u16string& target, const std::shared_ptr<void>& holder,
                             bool global) {
    std::u16string key = Upcase(name);
    std::string session = SessionOf(process);
    std::u16string existing;
    if (global || session == kGlobalSession) {
        if (FindGlobal(key, &existing)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        g_namespace->Global[key] = target;
        return STATUS_SUCCESS;
    }
    if (FindInSession(session, key, &existing)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    g_namespace->Sessions[session][key] = SessionLink{target, holder, holder != nullptr};
    return STATUS_SUCCESS;
}

NTSTATUS DefineGlobalLetter(const std::u16string& letter, const std::u16string& target) {
    std::u16string key = Upcase(letter);
    if (key.size() != 2 || key[1] != u':' || key[0] < u'A' || key[0] > u'Z') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (GlobalDosDeviceExists(key)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    std::u16string volume = Upcase(target);
    const std::u16string prefix = u"\\DEVICE\\HARDDISKVOLUME";
    if (volume.rfind(prefix, 0) == 0 && volume.size() > prefix.size() &&
        volume.find(u'\\', prefix.size()) == std::u16string::npos &&
        g_namespace->Volumes.count(volume) == 0) {
        AddVolume(target);
    }
    g_namespace->Global[key] = target;
    return STATUS_SUCCESS;
}

std::u16string GlobalName(const std::u16string& path) {
    bool driveLetter = path.size() >= 2 && path[1] == u':';
    std::u16string resolved;
    if (!NT_SUCCESS(ResolveObjectName(driveLetter ? u"\\GLOBAL??\\" + path : path, SystemProcess(),
                                      &resolved))) {
        return u"";
    }
    return resolved;
}

NTSTATUS ResolveVolumePath(const std::u16string& name, Volume** volume, std::u16string* rest) {
    std::u16string path;
    NTSTATUS status = ResolveObjectName(name, K().Current->Process, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t next = 0;
    std::u16string first = Upcase(Component(path, 1, &next));
    if (first != u"DEVICE") {
        return first.empty() ? STATUS_OBJECT_NAME_INVALID : Missing(path, next);
    }
    if (next + 1 >= path.size()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    size_t after = 0;
    Component(path, next + 1, &after);
    auto found = g_namespace->Volumes.find(Upcase(path.substr(0, after)));
    if (found == g_namespace->Volumes.end()) {
        return Missing(path, after);
    }
    *volume = found->second.get();
    *rest = path.substr(after);
    return STATUS_SUCCESS;
}

} // namespace hk
