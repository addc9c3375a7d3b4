// Caller verification against any "ImagePath" in the main service's key: any
// type, length and bytes, or a path put together from pieces that come
// close to the real one (prefixes, drive letters, directory names in any
// case, dot components, names too long for the name buffer, the service's
// executable name or another, quotes, arguments, missing terminators), for
// processes inside and outside the installation directory. Whatever it
// holds, the check leaves nothing behind, and it admits a process only when
// its image bears a permitted name and lies in the directory the value
// names.
#include "fuzz/support.h"

#include "access/caller_verification.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/cm/registry_control.h"

#include <cstring>

namespace {

const std::u16string kServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService";
const std::u16string kLongName(241, u'L'); // fills the name buffer at once

// The executables that may run, each with the directory it lies in.
struct Image {
    const char16_t* Directory; // its directory, as a drive-letter path
    const char16_t* Name;      // its file name
};
const Image kImages[] = {
    {u"C:\\Program Files\\Corvyn Host", u"CorvynService.exe"},
    {u"C:\\Program Files\\Corvyn Host", u"CorvynLogAgent.exe"},
    {u"C:\\Program Files\\Corvyn Host", u"Other.exe"},
    {u"C:\\Program Files\\Corvyn Host\\Tools", u"CorvynMonitor.exe"},
    {u"C:\\Program Files", u"CorvynService.exe"},
    {u"D:\\Program Files\\Corvyn Host", u"CorvynNotifier.exe"},
};
const char16_t* const kPermittedNames[] = {u"CorvynService.exe", u"CorvynNotifier.exe",
                                           u"CorvynMonitor.exe", u"CorvynManager.exe",
                                           u"CorvynLogAgent.exe"};

const char16_t* const kPrefixes[] = {u"",   u"\\??\\",          u"\\\\?\\", u"\\DosDevices\\",
                                     u"\"", u"\\??\\GLOBAL??\\"};
const char16_t* const kDrives[] = {u"C:", u"c:", u"D:", u"Z:", u"", u"\\Device\\HarddiskVolume3"};
const char16_t* const kComponents[] = {
    u"Program Files", u"Corvyn Host", u"PROGRAM FILES", u"corvyn host", u"Tools", u".", u"..", u"",
    u"Corvyn Host "};
const char16_t* const kEndings[] = {u"\\CorvynService.exe",  u"\\CORVYNSERVICE.EXE",
                                    u"\\CorvynService.exe ", u"\\CorvynService.exe\"",
                                    u"\\Other.exe",          u"\\CorvynService.exe -run",
                                    u"/CorvynService.exe",   u"CorvynService.exe"};

template <size_t N> const char16_t* Pick(const char16_t* const (&choices)[N], FuzzInput& input) {
    return choices[input.Byte() % N];
}

// A path made of pieces, as bytes of a value: sometimes without its
// terminator, with an odd byte more, or cut short.
std::vector<uint8_t> PiecedPath(FuzzInput& input) {
    std::u16string text = Pick(kPrefixes, input);
    text += Pick(kDrives, input);
    for (uint8_t count = input.Byte() % 5; count != 0; count--) {
        uint8_t choice = input.Byte();
        text += u'\\';
        if (choice < 0xF0) {
            text += kComponents[choice % (sizeof kComponents / sizeof kComponents[0])];
        } else if (choice < 0xF8) {
            text += kLongName.substr(0, kLongName.size() - (choice & 7));
        } else {
            std::vector<uint8_t> raw = input.Bytes(input.Byte() % 8);
            text.append(raw.begin(), raw.end());
        }
    }
    text += Pick(kEndings, input);
    uint8_t shape = input.Byte();
    if ((shape & 1) == 0) {
        text += u'\0';
    }
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                               reinterpret_cast<const uint8_t*>(text.data() + text.size()));
    if (shape & 2) {
        bytes.push_back(0);
    }
    if (shape & 4) {
        bytes.resize(bytes.size() - std::min<size_t>(bytes.size(), input.Byte() % 8));
    }
    return bytes;
}

// Any bytes, one byte per character (so that text is easy to find) or two.
std::vector<uint8_t> AnyBytes(FuzzInput& input, bool narrow) {
    std::vector<uint8_t> bytes = input.Rest();
    if (!narrow) {
        return bytes;
    }
    std::vector<uint8_t> wide;
    for (uint8_t byte : bytes) {
        wide.push_back(byte);
        wide.push_back(0);
    }
    return wide;
}

// Whether `image` may be admitted under a value of these bytes: its name is
// permitted and the value, without its terminator and the service's
// executable name, ends in the image's directory (compared as the system
// compares names; one backslash after it, prefixes before the drive letter
// and one pair of double quotes around the text do not matter).
bool MayAdmit(const Image& image, const std::vector<uint8_t>& bytes) {
    bool permitted = false;
    for (const char16_t* name : kPermittedNames) {
        permitted = permitted || hk::Upcase(name) == hk::Upcase(image.Name);
    }
    std::u16string value(bytes.size() / 2, u'\0');
    std::memcpy(value.data(), bytes.data(), value.size() * 2);
    if (value.size() >= 3 && value.front() == u'"' && value[value.size() - 2] == u'"') {
        value = value.substr(1, value.size() - 3) + value.back();
    }
    size_t dropped = 1 + std::char_traits<char16_t>::length(u"\\CorvynService.exe");
    if (!permitted || value.size() < dropped) {
        return false;
    }
    std::u16string directory = hk::Upcase(value.substr(0, value.size() - dropped));
    if (!directory.empty() && directory.back() == u'\\') {
        directory.pop_back();
    }
    // A volume's device name is its drive letter's NT form.
    for (const auto& [device, letter] :
         {std::pair<std::u16string, std::u16string>{u"\\DEVICE\\HARDDISKVOLUME3", u"C:"},
          {u"\\DEVICE\\HARDDISKVOLUME4", u"D:"}}) {
        size_t at = directory.find(device);
        if (at != std::u16string::npos) {
            directory.replace(at, device.size(), letter);
        }
    }
    std::u16string expected = hk::Upcase(image.Directory);
    return directory.size() >= expected.size() &&
           directory.compare(directory.size() - expected.size(), expected.size(), expected) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    hk::Reset();
    uint8_t shape = input.Byte();
    for (const Image& image : kImages) {
        Expect(hk::MakeFile(std::u16string(image.Directory) + u"\\" + image.Name) == STATUS_SUCCESS,
               "no executable");
    }
    const Image& image = kImages[(shape >> 4) % (sizeof kImages / sizeof kImages[0])];
    ChooseAllocationFailure(input);
    std::vector<uint8_t> bytes = shape & 8 ? PiecedPath(input) : AnyBytes(input, (shape & 1) == 0);
    ULONG type = shape & 2 ? input.Byte() % 12 : REG_EXPAND_SZ;
    if ((shape & 4) == 0) {
        hk::SetRegistryValue(kServiceKey, u"ImagePath", type, bytes);
    }
    HkProcess* process =
        hk::CreateProcessFromImage(std::u16string(image.Directory) + u"\\" + image.Name);
    Expect(process != nullptr, "no process");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunAs(hk::CreateThread(process), [&] { status = VerifyCallerImage(process); });
    Expect(status != STATUS_SUCCESS || ((shape & 4) == 0 && MayAdmit(image, bytes)),
           "a process was admitted from a directory the value does not name, or by a name "
           "not permitted");
    ExpectNoLeaks();
    return 0;
}
