// Who may open the device: the five permitted executables in the main
// service's directory, and nothing else; every open decided afresh.
#include "hostkernel/user/user_api.h"
#include "tests/access/installation.h"

namespace {

using AdmissionTest = InstallationTest;

TEST_F(AdmissionTest, CaseDoesNotMatterAnywhere) {
    ASSERT_EQ(hk::MakeFile(u"C:\\Apps\\Corvyn\\CORVYNMONITOR.EXE"), STATUS_SUCCESS);
    SetImagePath(u"c:\\APPS\\corvyn\\corvynservice.EXE");
    EXPECT_EQ(OpenFrom(u"C:\\Apps\\Corvyn\\CORVYNMONITOR.EXE"), STATUS_SUCCESS);
    EXPECT_EQ(OpenFrom(u"c:\\apps\\CORVYN\\CorvynService.exe"), STATUS_SUCCESS);
    EXPECT_EQ(OpenFrom(kServiceImage), CALLER_REFUSED);
    SetImagePath(u"\\??\\c:\\program files\\CORVYN HOST\\CorvynService.exe");
    EXPECT_EQ(OpenFrom(u"C:\\Program Files\\Corvyn Host\\CorvynLogAgent.exe"), STATUS_SUCCESS);
    // A service on another volume admits only there.
    SetImagePath(u"D:\\Program Files\\Corvyn Host\\CorvynService.exe");
    EXPECT_EQ(OpenFrom(u"D:\\Program Files\\Corvyn Host\\CorvynService.exe"), STATUS_SUCCESS);
    EXPECT_EQ(OpenFrom(kServiceImage), CALLER_REFUSED);
}

TEST_F(AdmissionTest, PermittedNamesElsewhereAreRefused) {
    for (const char16_t* path : {
             u"C:\\Program Files\\Corvyn Host\\bin\\CorvynService.exe", // a subdirectory
             u"C:\\Program Files\\CorvynNotifier.exe",                  // the parent
             u"C:\\Program Files\\Corvyn Host2\\CorvynService.exe",     // a sibling
             u"D:\\Program Files\\Corvyn Host\\CorvynService.exe",      // the same folders on D:
             u"D:\\Program Files\\Corvyn Host\\CorvynLogAgent.exe",
             u"C:\\Program Files\\Corvyn Host\\Corvyn.exe", // another executable
             u"C:\\Program Files\\Corvyn Host\\CorvynService.exe.exe",
             u"C:\\Program Files\\Corvyn Host\\xCorvynService.exe",
         }) {
        EXPECT_EQ(Verify(path), CALLER_REFUSED) << "every name read, none matched: " << Ascii(path);
    }
    hk::Outcome bare = Open(hk::CreateProcess(u"CorvynService.exe"));
    EXPECT_EQ(bare.returned, CALLER_REFUSED) << "a process without an image path";
}

TEST_F(AdmissionTest, DriveLetterAndNtFormsNameTheSameDirectory) {
    HkProcess* service = Start(kServiceImage);
    HkProcess* agent = Start(kDirectory + u"\\CorvynLogAgent.exe");
    HkProcess* stranger = Start(u"C:\\Program Files\\CorvynManager.exe");
    for (const char16_t* value :
         {u"C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\??\\C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\??\\C:\\Program Files\\Corvyn Host\\CORVYNSERVICE.EXE",
          u"\\DosDevices\\C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\GLOBAL??\\C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\Device\\HarddiskVolume3\\Program Files\\Corvyn Host\\CorvynService.exe"}) {
        SetImagePath(value);
        EXPECT_EQ(Open(service).returned, STATUS_SUCCESS) << Ascii(value);
        EXPECT_EQ(Open(agent).returned, STATUS_SUCCESS) << Ascii(value);
        EXPECT_EQ(Open(stranger).returned, CALLER_REFUSED) << Ascii(value);
    }
}

// A process may give its own logon session a private C: (a symbolic link in
// the session's DOS device directory) over a folder of its own that holds a
// renamed program under the service's folder names. The installation
// directory is resolved in the global namespace, so the private letter
// lends nothing, whichever DOS form "ImagePath" uses; the service in the
// same logon session is still admitted.
TEST_F(AdmissionTest, TheOpenersPrivateDriveLetterIsNotFollowed) {
    const std::u16string fake = u"C:\\Users\\eve\\fake";
    HkProcess* planted = Start(fake + u"\\Program Files\\Corvyn Host\\CorvynNotifier.exe");
    HkProcess* service = Start(kServiceImage);
    HkThread* thread = hk::CreateThread(planted);
    HANDLE link = nullptr;
    std::u16string nameText = u"\\??\\C:";
    std::u16string targetText = hk::DevicePath(fake);
    hk::RunAs(thread, [&] {
        UNICODE_STRING name{static_cast<USHORT>(nameText.size() * 2),
                            static_cast<USHORT>(nameText.size() * 2), nameText.data()};
        UNICODE_STRING target{static_cast<USHORT>(targetText.size() * 2),
                              static_cast<USHORT>(targetText.size() * 2), targetText.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        ASSERT_EQ(NtCreateSymbolicLinkObject(&link, 0xF0001, &attributes, &target), STATUS_SUCCESS);
    });
    for (const char16_t* value :
         {u"C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\??\\C:\\Program Files\\Corvyn Host\\CorvynService.exe",
          u"\\DosDevices\\C:\\Program Files\\Corvyn Host\\CorvynService.exe"}) {
        SetImagePath(value);
        EXPECT_EQ(Open(planted).returned, CALLER_REFUSED) << Ascii(value);
        EXPECT_EQ(Open(service).returned, STATUS_SUCCESS) << Ascii(value);
    }
    hk::RunAs(thread, [&] { ZwClose(link); });
}

// The platform recommends quoting a service's path that holds blanks: one
// pair of double quotes around the whole value is not part of the path.
// Every other rule of the value stays, and nothing else in it is interpreted.
TEST_F(AdmissionTest, OnePairOfQuotesAroundTheValueIsNotPartOfIt) {
    HkProcess* service = Start(kServiceImage);
    for (const char16_t* value : {u"\"C:\\Program Files\\Corvyn Host\\CorvynService.exe\"",
                                  u"\"\\??\\C:\\Program Files\\Corvyn Host\\corvynservice.exe\""}) {
        SetImagePath(value);
        EXPECT_EQ(Open(service).returned, STATUS_SUCCESS) << Ascii(value);
    }
    for (const char16_t* value : {
             u"\"C:\\Program Files\\Corvyn Host\\CorvynService.exe",
             u"C:\\Program Files\\Corvyn Host\\CorvynService.exe\"",
             u"\"\"C:\\Program Files\\Corvyn Host\\CorvynService.exe\"\"",
             u"\"C:\\Program Files\\Corvyn Host\\CorvynService.exe\" -service",
             u"\"\\CorvynService.exe\"",
             u"\"\"",
             // A quote at one end only is part of the value, even where the
             // value without both its ends would name the directory.
             u"\"C:\\Program Files\\Corvyn Host\\CorvynService.exeX",
             u"X\\??\\C:\\Program Files\\Corvyn Host\\CorvynService.exe\"",
             // Quotes inside, arguments and environment references are not
             // interpreted.
             u"\"C:\\Program Files\\Corvyn Host\"\\CorvynService.exe",
             u"C:\\Program Files\\Corvyn Host\\CorvynService.exe -service",
             u"C:\\Program Files\\Corvyn Host\\CorvynService.exe ",
             u"%ProgramFiles%\\Corvyn Host\\CorvynService.exe",
             u"C:\\Program Files\\Corvyn Host\\CorvynService",
         }) {
        SetImagePath(value);
        EXPECT_EQ(Open(service).returned, CALLER_REFUSED) << Ascii(value);
    }
}

// The device has no namespace: an open of a name inside it, or relative to
// another open file, is refused before anything is read or held, whoever
// opens it; so is an open that asks for no access (which passes any DACL),
// and a create without its security context.
TEST_F(AdmissionTest, OpensInsideTheDeviceOrWithoutAccessAreRefusedBeforeAnyCheck) {
    HkThread* service = hk::CreateThread(Start(kServiceImage));
    std::u16string inside = u"\\anything";
    FILE_OBJECT related{};
    USHORT bytes = static_cast<USHORT>(inside.size() * 2);
    FILE_OBJECT named{.FileName = {bytes, bytes, inside.data()}};
    FILE_OBJECT relative{.RelatedFileObject = &related};
    FILE_OBJECT plain{};
    hk::FailRoutine("ZwOpenKey", STATUS_IO_DEVICE_ERROR);
    hk::Request noAccess{.major = IRP_MJ_CREATE, .createAccess = 0};
    hk::Request noContext{.major = IRP_MJ_CREATE, .withoutSecurityContext = true};
    for (const hk::Request& create :
         {hk::Request{
              .major = IRP_MJ_CREATE, .parameters = {.FileObject = &named}, .useParameters = true},
          hk::Request{.major = IRP_MJ_CREATE,
          .parameters = {.FileObject = &relative},
          .useParameters = true},
          noAccess, noContext}) {
        hk::Outcome outcome;
        hk::RunAs(service, [&] { outcome = hk::Send(device_, create); });
        EXPECT_EQ(outcome.ioStatus.Status, CALLER_REFUSED);
        EXPECT_EQ(outcome.ioStatus.Information, 0u);
    }
    EXPECT_EQ(Verify(kServiceImage), STATUS_IO_DEVICE_ERROR) << "the registry was not read";
    hk::Request create{
        .major = IRP_MJ_CREATE, .parameters = {.FileObject = &plain}, .useParameters = true};
    hk::Outcome outcome;
    hk::RunAs(service, [&] { outcome = hk::Send(device_, create); });
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS) << "the device itself";
    EXPECT_EQ(lowerCreates_, 0);
}

TEST_F(AdmissionTest, EveryOpenRunsTheWholeCheckAgain) {
    HkProcess* service = Start(kServiceImage);
    HkProcess* moved = Start(u"C:\\Corvyn\\CorvynService.exe");
    EXPECT_EQ(Open(service).returned, STATUS_SUCCESS);
    EXPECT_EQ(Open(moved).returned, CALLER_REFUSED);
    SetImagePath(u"C:\\Corvyn\\CorvynService.exe");
    EXPECT_EQ(Open(service).returned, CALLER_REFUSED);
    EXPECT_EQ(Open(moved).returned, STATUS_SUCCESS);
    // A missing key or value refuses everyone.
    hk::DeleteRegistryKey(kServiceKey);
    EXPECT_EQ(Verify(moved), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::CreateRegistryKey(kServiceKey);
    hk::SetRegistryValue(kServiceKey, u"DisplayName", REG_SZ, Utf16z(u"C"));
    EXPECT_EQ(Verify(moved), STATUS_OBJECT_NAME_NOT_FOUND);
    SetImagePath(kServiceImage);
    EXPECT_EQ(Open(service).returned, STATUS_SUCCESS);
}

// Dropping the executable's name by its length alone would also drop
// another name of the same length, a tail of arguments or blanks, or the
// last characters of a value without its terminator, and lead to whatever
// directory is left. The dropped characters must be the executable's name.
TEST_F(AdmissionTest, OnlyTheServiceExecutableNameIsDropped) {
    HkProcess* planted = Start(u"C:\\Tools\\CorvynService.exe");
    HkProcess* shortened = Start(u"C:\\Program Files\\Corvyn Hos\\CorvynService.exe");
    SetImagePath(u"C:\\Tools\\HelperService.exe"); // a name of the same length
    EXPECT_EQ(Verify(planted), IMAGE_PATH_UNUSABLE);
    SetImagePath(u"C:\\Tools" + std::u16string(18, u' '));
    EXPECT_EQ(Verify(planted), IMAGE_PATH_UNUSABLE);
    SetImagePath(u"C:\\Tools --instance=second"); // arguments
    EXPECT_EQ(Verify(planted), IMAGE_PATH_UNUSABLE);
    std::vector<uint8_t> unterminated = Utf16z(kServiceImage);
    unterminated.resize(unterminated.size() - 2);
    SetImagePathBytes(unterminated);
    EXPECT_EQ(Verify(shortened), IMAGE_PATH_UNUSABLE) << "no terminator";
    EXPECT_EQ(Open(planted).returned, CALLER_REFUSED);
    EXPECT_EQ(Open(shortened).returned, CALLER_REFUSED);
}

} // namespace
