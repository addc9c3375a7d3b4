// How the check ends when a step fails: with that step's status (which
// refuses the open, as every failed check does), and with every buffer,
// handle and reference released.
#include "tests/access/installation.h"

#include <functional>
#include <tuple>

namespace {

constexpr ULONG kUntagged = 'None'; // the host's tag for untagged pool
constexpr NTSTATUS kInjected = static_cast<NTSTATUS>(0xC0000185L);

// The text of a counted string.
std::u16string Text(PCUNICODE_STRING string) {
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

class FailureTest : public InstallationTest {
  protected:
    // Nothing of the check is left behind.
    void ExpectAllReleased(const std::string& step) {
        EXPECT_EQ(hk::LiveBlocksWithTag(kUntagged), 0u) << step;
        EXPECT_EQ(hk::OpenHandleCount(), 0u) << step;
        EXPECT_EQ(hk::ObjectReferenceCount(), 0u) << step;
    }
};

// What fails, what makes it fail, and what the check ends with.
using Step = std::tuple<const char*, std::function<void()>, NTSTATUS>;

// A size query that answers success hands out nothing to read: the check
// ends instead of reading through a missing buffer.
TEST_F(FailureTest, EachFailingStepEndsTheCheckWithItsStatusAndReleasesEverything) {
    HkProcess* service = Start(kServiceImage);
    auto routine = [](const char* name, uint64_t skip, NTSTATUS status = kInjected) {
        return [=] { hk::FailRoutine(name, status, 1, skip); };
    };
    auto allocation = [](uint64_t n) { return [=] { hk::FailNthAllocation(n); }; };
    // Allocations in order: value, prefixed copy, name buffer, the
    // directory's name record, the image name.
    for (auto& [name, arm, expected] : std::vector<Step>{
             Step{"opening the key", routine("ZwOpenKey", 0), kInjected},
             Step{"size query", routine("ZwQueryValueKey", 0), kInjected},
             Step{"value buffer", allocation(1), STATUS_INSUFFICIENT_RESOURCES},
             Step{"second query", routine("ZwQueryValueKey", 1), kInjected},
             Step{"prefixed copy", allocation(2), STATUS_INSUFFICIENT_RESOURCES},
             Step{"name buffer", allocation(3), STATUS_INSUFFICIENT_RESOURCES},
             Step{"directory open", routine("ZwCreateFile", 0), kInjected},
             Step{"file object", routine("ObReferenceObjectByHandle", 0), kInjected},
             Step{"name size query", routine("ObQueryNameString", 0), kInjected},
             Step{"name record", allocation(4), STATUS_INSUFFICIENT_RESOURCES},
             Step{"name query", routine("ObQueryNameString", 1), kInjected},
             Step{"process handle", routine("ObOpenObjectByPointer", 0), kInjected},
             Step{"image size query", routine("ZwQueryInformationProcess", 0), kInjected},
             Step{"image buffer", allocation(5), STATUS_INSUFFICIENT_RESOURCES},
             Step{"image query", routine("ZwQueryInformationProcess", 1), kInjected},
             Step{"value size query succeeds", routine("ZwQueryValueKey", 0, STATUS_SUCCESS),
                  STATUS_UNSUCCESSFUL},
             Step{"name size query succeeds", routine("ObQueryNameString", 0, STATUS_SUCCESS),
                  STATUS_UNSUCCESSFUL},
         }) {
        arm();
        EXPECT_EQ(Verify(service), expected) << name;
        ExpectAllReleased(name);
        hk::ClearFaults();
    }
    EXPECT_EQ(Open(service).returned, STATUS_SUCCESS) << "a failed check leaves nothing behind";
}

TEST_F(FailureTest, DirectoryThatCannotBeOpenedEndsTheCheckWithTheOpensStatus) {
    HkProcess* service = Start(kServiceImage);
    // "ImagePath", and how the directory's open fails.
    for (auto [text, expected] : std::vector<std::pair<const char16_t*, NTSTATUS>>{
             {u"C:\\Program Files\\Gone\\CorvynService.exe", STATUS_OBJECT_NAME_NOT_FOUND},
             {u"C:\\Program Files\\Corvyn Host\\CorvynService.exe\\CorvynService.exe",
              STATUS_NOT_A_DIRECTORY},
             {u"C:\\Program Files\\\"Corvyn Host\"\\CorvynService.exe", STATUS_OBJECT_NAME_INVALID},
             {u"C:\\CorvynService.exe", STATUS_NOT_A_DIRECTORY}, // the volume itself
         }) {
        SetImagePath(text);
        EXPECT_EQ(Verify(service), expected) << Ascii(text);
        ExpectAllReleased(Ascii(text));
    }
}

TEST_F(FailureTest, ImageNameQueryHandsOutNothingOnFailure) {
    HkProcess* service = Start(kServiceImage);
    hk::RunAs(hk::CreateThread(service), [&] {
        EXPECT_EQ(QueryProcessImageName(service, nullptr), STATUS_INVALID_PARAMETER);
        PUNICODE_STRING image = reinterpret_cast<PUNICODE_STRING>(0x1);
        hk::FailRoutine("ZwQueryInformationProcess", kInjected, 1, 1);
        EXPECT_EQ(QueryProcessImageName(service, &image), kInjected);
        EXPECT_EQ(image, nullptr);
        ASSERT_EQ(QueryProcessImageName(service, &image), STATUS_SUCCESS);
        EXPECT_EQ(Text(image), hk::DevicePath(kServiceImage));
        EXPECT_EQ(reinterpret_cast<void*>(image->Buffer), reinterpret_cast<void*>(image + 1));
        ExFreePoolWithTag(image, 0);
    });
}

TEST_F(FailureTest, DirectoryNameMustFitTheCallersBuffer) {
    std::u16string expected = hk::kSystemVolume + u"\\Program Files\\Corvyn Host";
    std::u16string path = u"\\??\\" + kDirectory;
    // Both texts lie on the stack, which is kernel memory, as a driver's are.
    WCHAR pathText[128];
    WCHAR buffer[128];
    ASSERT_LT(expected.size(), std::size(buffer));
    std::copy(path.begin(), path.end(), pathText);
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING counted{static_cast<USHORT>(path.size() * 2),
                           static_cast<USHORT>(path.size() * 2), pathText};
    UNICODE_STRING name{0, static_cast<USHORT>((expected.size() - 1) * 2), buffer};
    EXPECT_EQ(QueryDirectoryName(&counted, &name), STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(name.Length, 0u);
    name.MaximumLength = static_cast<USHORT>(expected.size() * 2);
    ASSERT_EQ(QueryDirectoryName(&counted, &name), STATUS_SUCCESS);
    EXPECT_EQ(Text(&name), expected);
    EXPECT_EQ(buffer[expected.size()], u'#') << "nothing written past the caller's buffer";
    ExpectAllReleased("directory name");
}

} // namespace
