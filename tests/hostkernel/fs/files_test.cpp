// The object manager's namespace: the global directory with the system's
// drive letters and roots, each logon session's own directory looked in
// first, the two ways a program adds a name there, and what a reboot keeps;
// the simulated volumes, file objects and their references, process image
// names, and the wide-text routines that build paths.
#include "hostkernel/cm/registry_control.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/ob/namespace_control.h"
#include "hostkernel/se/security_control.h"
#include "hostkernel/user/user_api.h"
#include "tests/hostkernel/host_test.h"

#include <cstring>

namespace {

class FilesTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(hk::MakeFile(u"C:\\Program Files\\Corvyn\\CorvynService.exe"), STATUS_SUCCESS);
        ASSERT_EQ(hk::MakeFile(u"C:\\Users\\eve\\fake\\Program Files\\Corvyn\\CorvynService.exe"),
                  STATUS_SUCCESS);
        user_ = Thread(hk::StandardUserToken());
        neighbour_ = Thread(hk::StandardUserToken());
        admin_ = Thread(hk::AdministratorToken());
    }
    static HkThread* Thread(const hk::Token& token) {
        HkProcess* process = hk::CreateProcess(u"Program.exe");
        hk::SetProcessToken(process, token);
        return hk::CreateThread(process);
    }

    // Opens as the driver opens a directory.
    NTSTATUS OpenDirectory(const std::u16string& path, HANDLE* handle, ULONG options = 0x21) {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        IO_STATUS_BLOCK ioStatus{};
        return ZwCreateFile(handle, READ_CONTROL, &attributes, &ioStatus, nullptr,
                            FILE_ATTRIBUTE_DIRECTORY, 7, FILE_OPEN, options, nullptr, 0);
    }

    NTSTATUS OpenStatus(const std::u16string& path, ULONG options = 0x21) {
        HANDLE handle = nullptr;
        NTSTATUS status = OpenDirectory(path, &handle, options);
        if (NT_SUCCESS(status)) {
            ZwClose(handle);
        }
        return status;
    }

    // The name ObQueryNameString gives the directory `path` opens in
    // `thread`'s process; empty if it does not open.
    std::u16string Opened(HkThread* thread, const std::u16string& path) {
        std::u16string opened;
        hk::RunAs(thread, [&] {
            HANDLE handle = nullptr;
            PVOID object = nullptr;
            if (!NT_SUCCESS(OpenDirectory(path, &handle))) {
                return;
            }
            EXPECT_EQ(ObReferenceObjectByHandle(handle, READ_CONTROL, IoFileObjectType, KernelMode,
                                                &object, nullptr),
                      STATUS_SUCCESS);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
            ULONG needed = 0;
            EXPECT_EQ(ObQueryNameString(object, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
            std::vector<uint8_t> buffer(needed);
            auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
            EXPECT_EQ(ObQueryNameString(object, info, needed - 1, &needed),
                      STATUS_INFO_LENGTH_MISMATCH);
            EXPECT_EQ(ObQueryNameString(object, info, needed, &needed), STATUS_SUCCESS);
            EXPECT_EQ(needed, sizeof(OBJECT_NAME_INFORMATION) + info->Name.Length + 2);
            EXPECT_EQ(info->Name.Buffer[info->Name.Length / 2], 0);
            ObfDereferenceObject(object);
            opened.assign(info->Name.Buffer, info->Name.Length / 2);
        });
        return opened;
    }
    static NTSTATUS Link(HkThread* thread, const std::u16string& link, const std::u16string& target,
                         HANDLE* handle) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hk::RunAs(thread, [&] {
            UNICODE_STRING name = Counted(link);
            UNICODE_STRING to = Counted(target);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            status = NtCreateSymbolicLinkObject(handle, 0xF0001, &attributes, &to);
        });
        return status;
    }
    static DWORD Define(HkThread* thread, const std::u16string& letter,
                        const std::u16string& target) {
        DWORD error = 0;
        hk::RunAs(thread, [&] {
            error = DefineDosDeviceW(DDD_RAW_TARGET_PATH, letter.c_str(), target.c_str())
                        ? 0
                        : GetLastError();
        });
        return error;
    }

    const std::u16string real_ = u"\\Device\\HarddiskVolume3\\Program Files\\Corvyn";
    const std::u16string fake_ = u"\\Device\\HarddiskVolume3\\Users\\eve\\fake";
    HkThread* user_ = nullptr;      // a standard user
    HkThread* neighbour_ = nullptr; // another process of the same user
    HkThread* admin_ = nullptr;     // an administrator
};

// The global directory's drive letters and roots, without regard to case,
// and letters added to it: every thread sees them.
TEST_F(FilesTest, DirectoriesOpenByGlobalDriveLetterOrDevicePath) {
    for (const char16_t* path :
         {u"\\??\\C:\\Program Files\\Corvyn", u"\\??\\c:\\PROGRAM FILES\\corvyn\\",
          u"\\DosDevices\\c:\\Program Files\\Corvyn", u"\\GLOBAL??\\C:\\Program Files\\Corvyn",
          u"\\??\\Global\\C:\\Program Files\\Corvyn",
          u"\\??\\GLOBALROOT\\Device\\HarddiskVolume3\\Program Files\\Corvyn",
          u"\\??\\GLOBALROOT\\GLOBAL??\\C:\\Program Files\\Corvyn",
          u"\\Device\\HarddiskVolume3\\program files\\Corvyn"}) {
        EXPECT_EQ(Opened(user_, path), real_) << hk::Narrow(path);
        EXPECT_EQ(Opened(hk::CurrentThread(), path), real_) << hk::Narrow(path);
    }
    EXPECT_EQ(Opened(hk::CurrentThread(), u"\\??\\D:\\"), u"\\Device\\HarddiskVolume4\\");
    EXPECT_EQ(hk::OpenHandleCount(), 0u);
    EXPECT_EQ(hk::ObjectReferenceCount(), 0u);
    EXPECT_EQ(hk::DefineGlobalLetter(u"e:", u"\\Device\\HarddiskVolume3\\Program Files"),
              STATUS_SUCCESS);
    EXPECT_EQ(Opened(user_, u"\\??\\E:\\Corvyn"), real_);
    EXPECT_EQ(hk::DefineGlobalLetter(u"E:", u"\\Device\\HarddiskVolume4"),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::DefineGlobalLetter(u"F", u"\\Device\\HarddiskVolume4"),
              STATUS_OBJECT_NAME_INVALID);
    // A volume that is not there yet is made, empty; it and the letters
    // survive a reboot.
    EXPECT_EQ(hk::DefineGlobalLetter(u"G:", u"\\Device\\HarddiskVolume9"), STATUS_SUCCESS);
    ASSERT_EQ(hk::MakeDirectory(u"G:\\Data"), STATUS_SUCCESS);
    EXPECT_EQ(hk::DevicePath(u"G:\\Data"), u"\\Device\\HarddiskVolume9\\Data");
    hk::Reboot();
    EXPECT_EQ(hk::DevicePath(u"G:\\Data"), u"\\Device\\HarddiskVolume9\\Data");
    EXPECT_EQ(hk::GlobalName(u"E:\\Corvyn"), real_);
    EXPECT_EQ(hk::GlobalName(u"Q:\\Corvyn"), u"");
}

TEST_F(FilesTest, OpensFailWithThePlatformsStatuses) {
    struct Case {
        const char16_t* path; // what is opened as a directory
        NTSTATUS expected;    // how it fails
    };
    for (const Case& open : {
             Case{u"\\??\\C:\\Program Files\\Corvyn\\CorvynService.exe", STATUS_NOT_A_DIRECTORY},
             Case{u"\\??\\C:\\Program Files\\Gone", STATUS_OBJECT_NAME_NOT_FOUND},
             Case{u"\\??\\C:\\Gone\\Corvyn", STATUS_OBJECT_PATH_NOT_FOUND},
             Case{u"\\??\\C:\\Program Files\\Corvyn\\CorvynService.exe\\x",
                  STATUS_OBJECT_PATH_NOT_FOUND},
             Case{u"\\??\\C:\\Program Files\\\"Corvyn\"", STATUS_OBJECT_NAME_INVALID},
             Case{u"\\??\\C:\\Program Files\\..\\Program Files", STATUS_OBJECT_NAME_INVALID},
             Case{u"\\??\\C:\\Program Files\\\\Corvyn", STATUS_OBJECT_NAME_INVALID},
             Case{u"\\??\\C:\\Program Files\\Corvyn\\CorvynService.exe\\", STATUS_NOT_A_DIRECTORY},
             Case{u"\\??\\Q:\\Program Files", STATUS_OBJECT_PATH_NOT_FOUND},
             Case{u"\\??\\Q:", STATUS_OBJECT_NAME_NOT_FOUND},
             Case{u"\\??\\C:", STATUS_NOT_A_DIRECTORY},
             Case{u"\\??\\", STATUS_OBJECT_TYPE_MISMATCH},
             Case{u"\\Device\\HarddiskVolume9\\x", STATUS_OBJECT_PATH_NOT_FOUND},
             Case{u"C:\\Program Files", STATUS_OBJECT_PATH_SYNTAX_BAD},
         }) {
        EXPECT_EQ(OpenStatus(open.path), open.expected) << hk::Narrow(open.path);
    }
    EXPECT_EQ(OpenStatus(u"\\??\\C:\\Program Files\\Corvyn", FILE_NON_DIRECTORY_FILE),
              STATUS_FILE_IS_A_DIRECTORY);
    AtDispatch raised;
    EXPECT_DEATH(OpenStatus(u"\\??\\C:\\Program Files"),
                 VERIFIER_STOP("calls ZwCreateFile above PASSIVE_LEVEL"));
}

TEST_F(FilesTest, VolumesAreLaidOutByTheControls) {
    EXPECT_EQ(hk::MakeDirectory(u"D:\\Data\\Deep\\Er"), STATUS_SUCCESS);
    EXPECT_EQ(hk::DevicePath(u"d:\\DATA\\deep"), u"\\Device\\HarddiskVolume4\\Data\\Deep");
    EXPECT_EQ(hk::MakeDirectory(u"D:\\Data"), STATUS_SUCCESS);
    EXPECT_EQ(hk::MakeFile(u"D:\\Data"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::MakeFile(u"C:\\Program Files\\Corvyn\\corvynservice.exe"),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::MakeFile(u"C:\\Program Files\\Corvyn\\CorvynService.exe\\x"),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(hk::MakeDirectory(u"C:\\a|b"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(hk::MakeDirectory(u"C:\\" + std::u16string(256, u'x')), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(hk::DevicePath(u"C:\\Nothing"), u"");
    // Made files survive a reboot: G:\Data in the drive letters' test.
    hk::Reset();
    EXPECT_EQ(hk::DevicePath(u"C:\\Program Files"), u"") << "a fresh kernel has empty volumes";
}

TEST_F(FilesTest, ReferencesAreCountedAndTypesChecked) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenDirectory(u"\\??\\C:\\Program Files", &handle), STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, PsProcessType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(nullptr, 0, IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(hk::ObjectReferenceCount(), 1u);
    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("file"), std::string::npos) << leaks[0];
    EXPECT_EQ(static_cast<PFILE_OBJECT>(object)->FileName.Length, 28u) << "\\Program Files";
    EXPECT_EQ(ObfDereferenceObject(object), 0);
    EXPECT_DEATH(ObfDereferenceObject(object), VERIFIER_STOP("releases a reference"));
}

TEST_F(FilesTest, ProcessImageNameIsTheExecutablesFullNtName) {
    EXPECT_EQ(hk::CreateProcessFromImage(u"C:\\Program Files\\Corvyn\\Missing.exe"), nullptr);
    EXPECT_EQ(hk::CreateProcessFromImage(u"C:\\Program Files\\Corvyn"), nullptr);
    HkProcess* process =
        hk::CreateProcessFromImage(u"c:\\program files\\corvyn\\corvynservice.exe");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->ImageName, u"CorvynService.exe") << "the snapshot's bare name";
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, PsProcessType,
                                    KernelMode, &handle),
              STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    const std::u16string expected =
        u"\\Device\\HarddiskVolume3\\Program Files\\Corvyn\\CorvynService.exe";
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + expected.size() * 2 + 2);
    std::vector<uint8_t> buffer(needed);
    auto* name = reinterpret_cast<PUNICODE_STRING>(buffer.data());
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, name, needed - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, name, needed, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), expected);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(name->Buffer), buffer.data() + sizeof(UNICODE_STRING));
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessBasicInformation, name, needed, &needed),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(handle);

    HkProcess* bare = hk::CreateProcess(u"tool.exe");
    hk::RunAs(hk::CreateThread(bare), [&] {
        EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, name, needed,
                                            &needed),
                  STATUS_SUCCESS);
    });
    EXPECT_EQ(needed, sizeof(UNICODE_STRING));
    EXPECT_EQ(name->Length, 0u) << "a process started by bare name has no image path";
}

TEST_F(FilesTest, WideTextRoutinesBehaveAsThePlatformsDo) {
    WCHAR buffer[8];
    std::memset(buffer, 0x55, sizeof buffer);
    UNICODE_STRING destination{4, 8, buffer};
    std::u16string tail = u"ab";
    UNICODE_STRING source{4, 4, tail.data()};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 8u);
    EXPECT_EQ(buffer[4], 0x5555) << "no terminator written past MaximumLength";
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 8u);
    destination = UNICODE_STRING{0, 16, buffer};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(buffer[2], 0) << "terminated when there is room";

    EXPECT_EQ(wcscpy_s(buffer, 4, u"abc"), 0);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(wcscpy_s(nullptr, 4, u"abc"), 22);

    EXPECT_EQ(_wcsnicmp(u"\\??\\C:", u"\\??\\c:", 6), 0);
    EXPECT_EQ(_wcsnicmp(u"Corvyn", u"CORVYNX", 6), 0);
    EXPECT_LT(_wcsnicmp(u"ab", u"abc", 3), 0) << "stops at the shorter text's end";
    EXPECT_NE(_wcsnicmp(u"\u00e9", u"\u00c9", 1), 0) << "only ASCII letters fold";
}

// A standard user may not define a letter that exists for everyone, but may
// create the same name as a link in the session's own directory, which the
// session's programs then find first. Other users' programs and the global
// directory do not see it; it goes with its handle.
TEST_F(FilesTest, SessionNamesComeFirstForTheirSessionOnly) {
    EXPECT_EQ(Define(user_, u"C:", fake_), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Opened(user_, u"\\??\\C:\\Program Files\\Corvyn"), real_);
    HANDLE handle = nullptr;
    ASSERT_EQ(Link(user_, u"\\??\\C:", fake_, &handle), STATUS_SUCCESS);
    HANDLE second = nullptr;
    EXPECT_EQ(Link(neighbour_, u"\\DosDevices\\c:", fake_, &second), STATUS_OBJECT_NAME_COLLISION)
        << "the user's processes share one session";
    EXPECT_EQ(Link(user_, u"\\GLOBAL??\\X:", fake_, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Link(user_, u"\\Device\\X", fake_, &second), STATUS_ACCESS_DENIED);
    const std::u16string faked = fake_ + u"\\Program Files\\Corvyn";
    EXPECT_EQ(Opened(user_, u"\\??\\C:\\Program Files\\Corvyn"), faked);
    EXPECT_EQ(Opened(neighbour_, u"\\DosDevices\\C:\\Program Files\\Corvyn"), faked);
    EXPECT_EQ(Opened(user_, u"\\GLOBAL??\\C:\\Program Files\\Corvyn"), real_);
    EXPECT_EQ(Opened(user_, u"\\??\\Global\\C:\\Program Files\\Corvyn"), real_);
    EXPECT_EQ(Opened(admin_, u"\\??\\C:\\Program Files\\Corvyn"), real_);
    EXPECT_EQ(Opened(hk::CurrentThread(), u"\\??\\C:\\Program Files\\Corvyn"), real_)
        << "LocalSystem's view is the global directory";
    hk::RunAs(user_, [&] { EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS); });
    EXPECT_EQ(Opened(user_, u"\\??\\C:\\Program Files\\Corvyn"), real_) << "gone with its handle";

    // A letter nobody has is the user's to define, and stays until a reboot.
    EXPECT_EQ(Define(user_, u"Q:", fake_), ERROR_SUCCESS);
    EXPECT_EQ(Define(neighbour_, u"Q:", real_), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Opened(neighbour_, u"\\??\\Q:\\Program Files\\Corvyn"), faked);
    EXPECT_EQ(Opened(admin_, u"\\??\\Q:\\Program Files\\Corvyn"), u"");
    EXPECT_EQ(Define(admin_, u"C:", fake_), ERROR_SUCCESS) << "an administrator may";
    hk::Reboot();
    EXPECT_EQ(Opened(Thread(hk::StandardUserToken()), u"\\??\\Q:\\Program Files\\Corvyn"), u"")
        << "logon sessions end with a reboot";
}

// A link that leads back to itself ends the walk instead of looping.
TEST_F(FilesTest, LinkLoopsEndTheWalk) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Link(user_, u"\\??\\L:", u"\\??\\L:\\x", &handle), STATUS_SUCCESS);
    EXPECT_EQ(Opened(user_, u"\\??\\L:\\y"), u"");
    const std::u16string link = u"\\??\\L:";
    hk::RunAs(user_, [&] {
        UNICODE_STRING text = Counted(link);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, 0, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE file = nullptr;
        EXPECT_EQ(ZwCreateFile(&file, 0, &attributes, &io, nullptr, 0, 7, FILE_OPEN,
                               FILE_DIRECTORY_FILE, nullptr, 0),
                  STATUS_OBJECT_PATH_NOT_FOUND);
        ZwClose(handle);
    });
}

} // namespace
