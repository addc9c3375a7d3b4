// What "ImagePath" values the check accepts, and the limits of the buffer in
// which candidate names are formed.
#include "tests/access/installation.h"

#include <tuple>

namespace {

class ImagePathTest : public InstallationTest {
  protected:
    // A directory whose NT name has exactly `characters` characters:
    // "\Device\HarddiskVolume3\" and two folders.
    static std::u16string DirectoryOfLength(size_t characters) {
        size_t second = characters - kSystemVolumeChars - 1 - 200 - 1;
        return u"C:\\" + std::u16string(200, u'A') + u"\\" + std::u16string(second, u'B');
    }
    static constexpr size_t kSystemVolumeChars = 23;
};

TEST_F(ImagePathTest, ValuesTooShortOrNotWholeTextAreRefusedWithoutReadingPastThem) {
    HkProcess* service = Start(kServiceImage);
    const std::u16string name = u"\\CorvynService.exe";
    // The data, as characters, and the bytes cut from its end besides the
    // terminator.
    for (auto& [characters, trim] : std::vector<std::pair<std::u16string, size_t>>{
             {name.substr(0, 17) + u'\0', 0},  // 36 bytes: no room for the name
             {name + u'\0', 1},                // 37 bytes
             {name + u'\0' + u'\0', 1},        // 39 bytes
             {u"\\", 0},                       // 2 bytes, no terminator
             {std::u16string(u"\\?\0", 3), 0}, // 6 bytes
             {u"", 0},                         // no data at all
             {u"\\??\\", 1},                   // 7 bytes
             {name + u'\0', 0},                // 38 bytes: the name, no directory
             {u'"' + name + u'"' + u'\0', 0},  // the same in quotes
         }) {
        std::vector<uint8_t> data = Utf16z(characters);
        data.resize(data.size() - 2 - trim);
        SetImagePathBytes(data);
        // Refused before any directory is opened.
        hk::FailRoutine("ZwCreateFile", STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(Verify(service), IMAGE_PATH_UNUSABLE) << data.size() << " bytes";
        hk::ClearFaults();
    }
    // One character of directory is enough to be looked up: "C" is no DOS
    // device name, and "\??\" leaves "\GLOBAL??\", which is no file system
    // directory.
    SetImagePath(u"C" + name);
    EXPECT_EQ(Verify(service), STATUS_OBJECT_NAME_NOT_FOUND);
    SetImagePath(u"\\??\\" + name);
    EXPECT_EQ(Verify(service), STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(ImagePathTest, PathsBeyondACountedStringAreRefused) {
    HkProcess* service = Start(kServiceImage);
    const std::u16string name = u"\\CorvynService.exe";
    // With "\GLOBAL??\" put in front and room for a terminator, 65534 bytes
    // are the most the path may take; that path is followed (and names no
    // directory: a folder name is longer than 255 characters).
    std::u16string longest = u"C:\\" + std::u16string(32756 - 3 - 18, u'a') + name;
    SetImagePath(longest);
    EXPECT_EQ(Verify(service), STATUS_OBJECT_NAME_INVALID);
    SetImagePath(u"C:\\a" + longest.substr(3));
    EXPECT_EQ(Verify(service), IMAGE_PATH_UNUSABLE);
    // "\??\" gives way to "\GLOBAL??\": four characters more may precede.
    std::u16string prefixed = u"\\??\\C:\\" + std::u16string(32760 - 7 - 18, u'a') + name;
    SetImagePath(prefixed);
    EXPECT_EQ(Verify(service), STATUS_OBJECT_NAME_INVALID);
    SetImagePath(u"\\??\\C:\\a" + prefixed.substr(7));
    EXPECT_EQ(Verify(service), IMAGE_PATH_UNUSABLE);
    // A value in another NT form is used as it is, and may fill a value's
    // longest text.
    std::u16string device =
        u"\\Device\\HarddiskVolume3\\" + std::u16string(32767 - 24 - 18, u'a') + name;
    SetImagePath(device);
    EXPECT_EQ(Verify(service), STATUS_OBJECT_NAME_INVALID);
    // Followed literally, the length of this one wraps to name
    // "\GLOBAL??\C:\X".
    HkProcess* planted = Start(u"C:\\X\\CorvynService.exe");
    std::u16string wrapping = u"C:\\X\\" + std::u16string(32790 - 5 - 18, u'a') + name;
    ASSERT_EQ(((wrapping.size() * 2 + 20) & 0xFFFF) - 36, 28u);
    SetImagePath(wrapping);
    EXPECT_EQ(Verify(planted), IMAGE_PATH_UNUSABLE);
}

// The name buffer holds 260 characters. The first candidate is appended as a
// counted string and may fill it; the others are written with a terminator.
// A candidate that does not fit ends the check: followed literally, a failed
// append would leave the directory's own name there and the later candidates
// would be formed in its parent.
TEST_F(ImagePathTest, CandidatesMustFitTheNameBuffer) {
    // Characters of the directory's NT name, how many permitted names are
    // admitted, and how the check ends for the rest.
    for (auto [length, admitted, othersStatus] : std::vector<std::tuple<size_t, size_t, NTSTATUS>>{
             {240, 5, STATUS_SUCCESS},          // 2nd and 5th fill it with their terminator
             {241, 1, STATUS_BUFFER_TOO_SMALL}, // 3rd and 4th would, the 2nd does not
             {242, 1, STATUS_BUFFER_TOO_SMALL}, // the 1st fills it exactly
             {243, 0, STATUS_BUFFER_TOO_SMALL},
             {260, 0, STATUS_BUFFER_TOO_SMALL}, // the directory alone fills it
             {261, 0, STATUS_INVALID_PARAMETER_2},
         }) {
        std::u16string directory = DirectoryOfLength(length);
        ASSERT_EQ(hk::DevicePath(directory).size(), 0u);
        ASSERT_EQ(hk::MakeDirectory(directory), STATUS_SUCCESS);
        ASSERT_EQ(hk::DevicePath(directory).size(), length);
        SetImagePath(directory + u"\\CorvynService.exe");
        for (size_t i = 0; i < 5; i++) {
            NTSTATUS status = Verify(directory + u"\\" + kPermitted[i]);
            NTSTATUS expected = i < admitted ? STATUS_SUCCESS : othersStatus;
            EXPECT_EQ(status, expected) << length << " characters, name " << i + 1;
        }
        size_t parent = directory.rfind(u'\\');
        EXPECT_EQ(OpenFrom(directory.substr(0, parent) + u"\\CorvynNotifier.exe"), CALLER_REFUSED);
    }
}

} // namespace
