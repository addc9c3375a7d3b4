// The DOS device names: the global directory with the system's drive
// letters and roots, each logon session's own directory looked in first,
// the two ways a program adds a name there, and what a reboot keeps.
#include "hostkernel/cm/registry_control.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/ob/namespace_control.h"
#include "hostkernel/se/security_control.h"
#include "hostkernel/user/user_api.h"
#include "tests/hostkernel/host_test.h"

namespace {

class DosDevicesTest : public KernelTest {
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
    // The NT name of the directory `path` opens in `thread`'s process.
    static std::u16string Opened(HkThread* thread, const std::u16string& path) {
        std::u16string name;
        hk::RunAs(thread, [&] {
            UNICODE_STRING text = Counted(path);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                       nullptr, nullptr);
            IO_STATUS_BLOCK io{};
            HANDLE handle = nullptr;
            if (!NT_SUCCESS(ZwCreateFile(&handle, READ_CONTROL, &attributes, &io, nullptr, 0, 7,
                                         FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0))) {
                return;
            }
            PVOID file = nullptr;
            ObReferenceObjectByHandle(handle, 0, IoFileObjectType, KernelMode, &file, nullptr);
            ULONG needed = 0;
            ObQueryNameString(file, nullptr, 0, &needed);
            std::vector<uint8_t> buffer(needed);
            auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
            ObQueryNameString(file, info, needed, &needed);
            name.assign(info->Name.Buffer, info->Name.Length / 2);
            ObfDereferenceObject(file);
            ZwClose(handle);
        });
        return name;
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

TEST_F(DosDevicesTest, RootsAndExtraLettersAreGlobal) {
    for (const char16_t* path :
         {u"\\??\\C:\\Program Files\\Corvyn", u"\\DosDevices\\c:\\Program Files\\Corvyn",
          u"\\GLOBAL??\\C:\\Program Files\\Corvyn", u"\\??\\Global\\C:\\Program Files\\Corvyn",
          u"\\??\\GLOBALROOT\\Device\\HarddiskVolume3\\Program Files\\Corvyn",
          u"\\??\\GLOBALROOT\\GLOBAL??\\C:\\Program Files\\Corvyn"}) {
        EXPECT_EQ(Opened(user_, path), real_) << hk::Narrow(path);
    }
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

// A standard user may not define a letter that exists for everyone, but may
// create the same name as a link in the session's own directory, which the
// session's programs then find first. Other users' programs and the global
// directory do not see it; it goes with its handle.
TEST_F(DosDevicesTest, SessionNamesComeFirstForTheirSessionOnly) {
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
TEST_F(DosDevicesTest, LinkLoopsEndTheWalk) {
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
