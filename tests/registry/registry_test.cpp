// The host kernel's registry as drivers see it: names, the records a query
// delivers at every buffer length, handles, reboots, injected failures and
// the verifier's registry rules.
#include "hostkernel/cm/registry_control.h"
#include "tests/hostkernel/host_test.h"

FAULTY void FaultyRegistryReadAtDispatch(HANDLE key) {
    AtDispatch raised;
    ULONG length = 0;
    ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, nullptr, 0, &length);
}

FAULTY void FaultyCloseOfClosedHandle(HANDLE key) {
    ZwClose(key);
    ZwClose(key);
}

namespace {

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";

class RegistryTest : public KernelTest {
  protected:
    NTSTATUS Open(const std::u16string& path, HANDLE* key, ACCESS_MASK access = KEY_READ,
                  ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                  HANDLE root = nullptr) {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &name, attributes, root, nullptr);
        return ZwOpenKey(key, access, &object);
    }
    NTSTATUS Create(const std::u16string& path, HANDLE* key, ULONG options = 0,
                    ULONG* disposition = nullptr) {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwCreateKey(key, KEY_WRITE, &object, 0, nullptr, options, disposition);
    }
    // Queries into a buffer of `length` bytes, filled with 0xEE beforehand.
    NTSTATUS Query(HANDLE key, const std::u16string& value,
                   KEY_VALUE_INFORMATION_CLASS kind = KeyValuePartialInformation,
                   ULONG length = 16) {
        UNICODE_STRING name = Counted(value);
        buffer_.assign(length, 0xEE);
        resultLength_ = 0xDEAD;
        return ZwQueryValueKey(key, &name, kind, buffer_.data(), length, &resultLength_);
    }
    NTSTATUS Set(HANDLE key, const std::u16string& value, ULONG type, std::vector<uint8_t> data) {
        UNICODE_STRING name = Counted(value);
        return ZwSetValueKey(key, &name, 0, type, data.data(), static_cast<ULONG>(data.size()));
    }

    std::vector<uint8_t> buffer_; // what the last query delivered
    ULONG resultLength_ = 0;      // the length it reported
};

TEST_F(RegistryTest, NamesAreResolvedAsOnThePlatformAndOpensFailOnRequest) {
    HANDLE key = nullptr;
    EXPECT_EQ(Open(kParameters, &key), STATUS_OBJECT_NAME_NOT_FOUND) << "fresh machine";
    ASSERT_EQ(Open(u"\\registry\\machine\\SYSTEM\\currentcontrolset\\services\\vktdrv", &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Open(u"\\REGISTRY\\MACHINE\\\\SYSTEM", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(hk::kServiceKeyPath + u"\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"REGISTRY\\MACHINE", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\Device\\Nothing", &key), STATUS_OBJECT_PATH_NOT_FOUND);

    HANDLE machine = nullptr;
    ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE", &machine), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM", &key, KEY_READ, OBJ_KERNEL_HANDLE, machine),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    ASSERT_EQ(Open(u"SYSTEM\\CurrentControlSet\\Services\\VKTDrv", &key, KEY_READ,
                   OBJ_KERNEL_HANDLE, machine),
              STATUS_SUCCESS);
    EXPECT_EQ(Query(key, u"imagepath", KeyValuePartialInformation, 200), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(machine);

    // Failures are injected by routine and turn.
    hk::FailRoutine("ZwOpenKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(hk::kServiceKeyPath, &key), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(hk::kServiceKeyPath, &key), STATUS_SUCCESS);
    hk::FailRoutine("ZwQueryValueKey", STATUS_INSUFFICIENT_RESOURCES, 1, 1);
    EXPECT_EQ(Query(key, u"Start"), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, u"Start"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Query(key, u"Start"), STATUS_SUCCESS);
    ZwClose(key);
}

// Create makes only the last component; a reboot keeps stored keys, with
// the handle still open, and drops volatile ones; a reset starts afresh.
TEST_F(RegistryTest, CreateMakesOnlyTheLastComponentAndRebootKeepsStoredKeys) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(kParameters + u"\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters));
    ASSERT_EQ(Create(kParameters, &key, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\system\\CurrentControlSet\\Services\\VKTDRV\\"
                     u"PARAMETERS",
                     &key, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(Set(key, u"InstallTimes", REG_DWORD, Bytes({7, 0, 0, 0})), STATUS_SUCCESS);

    HANDLE run = nullptr;
    ASSERT_EQ(Create(kParameters + u"\\Run", &run, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ZwClose(run);
    EXPECT_EQ(Create(kParameters + u"\\Run\\Stored", &run), STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Create(kParameters + u"\\Run\\Kept", &run, REG_OPTION_CREATE_LINK),
              STATUS_INVALID_PARAMETER);
    hk::RunFor(hk::kMinute);

    hk::Reboot();
    EXPECT_EQ(hk::Now(), 0u);
    EXPECT_EQ(hk::OpenHandleCount(), 0u) << "handles do not survive";
    EXPECT_EQ(hk::ReadRegistryValue(kParameters, u"InstallTimes")->Data, Bytes({7, 0, 0, 0}));
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters + u"\\Run"));

    hk::Reset();
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters));
    EXPECT_TRUE(hk::RegistryKeyExists(hk::kServiceKeyPath));
    hk::EmptyRegistry();
    EXPECT_FALSE(hk::RegistryKeyExists(hk::kServiceKeyPath));
    EXPECT_EQ(Create(kParameters, &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, RecordsAtEveryBufferLength) {
    hk::SetRegistryValue(kParameters, u"InstallTimes", REG_DWORD, Bytes({4, 3, 2, 1}));
    hk::SetRegistryValue(kParameters, u"Abc", REG_BINARY, Bytes({7, 8, 9}));
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kParameters, &key), STATUS_SUCCESS);
    const std::vector<uint8_t> header = Bytes({0, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0});

    for (ULONG length : {0u, 11u}) {
        EXPECT_EQ(Query(key, u"InstallTimes", KeyValuePartialInformation, length),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(resultLength_, 16u);
        EXPECT_EQ(buffer_, std::vector<uint8_t>(length, 0xEE)) << "nothing written";
    }
    for (ULONG length : {12u, 15u}) {
        EXPECT_EQ(Query(key, u"installtimes", KeyValuePartialInformation, length),
                  STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(resultLength_, 16u);
        EXPECT_EQ(std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + 12), header);
        EXPECT_EQ(std::vector<uint8_t>(buffer_.begin() + 12, buffer_.end()),
                  std::vector<uint8_t>(length - 12, 0xEE))
            << "no data on overflow";
    }
    EXPECT_EQ(Query(key, u"INSTALLTIMES", KeyValuePartialInformation, 40), STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 16u);
    std::vector<uint8_t> whole = header;
    whole.insert(whole.end(), {4, 3, 2, 1});
    EXPECT_EQ(std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + 16), whole);

    hk::SetRegistryValue(kParameters, u"Empty", REG_BINARY, {});
    EXPECT_EQ(Query(key, u"Empty", KeyValuePartialInformation, 12), STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 12u);
    EXPECT_EQ(Query(key, u"Absent"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(key, u"Empty", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), 64),
              STATUS_INVALID_PARAMETER);

    // The full record puts the data after the name at a multiple of four bytes.
    EXPECT_EQ(Query(key, u"abc", KeyValueFullInformation, 64), STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 31u);
    std::vector<uint8_t> expected = Bytes(
        {0, 0, 0, 0, 3, 0, 0, 0, 28, 0, 0, 0, 3, 0, 0, 0, 6, 0, 0, 0, 'A', 0, 'b', 0, 'c', 0});
    EXPECT_EQ(std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + 26), expected);
    EXPECT_EQ(std::vector<uint8_t>(buffer_.begin() + 28, buffer_.begin() + 31), Bytes({7, 8, 9}));
    EXPECT_EQ(Query(key, u"abc", KeyValueFullInformation, 20), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer_, std::vector<uint8_t>(expected.begin(), expected.begin() + 20));
    EXPECT_EQ(Query(key, u"abc", KeyValueFullInformation, 19), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength_, 31u);

    EXPECT_EQ(Query(key, u"ABC", KeyValueBasicInformation, 18), STATUS_SUCCESS);
    EXPECT_EQ(buffer_, Bytes({0, 0, 0, 0, 3, 0, 0, 0, 6, 0, 0, 0, 'A', 0, 'b', 0, 'c', 0}));
    ZwClose(key);
}

// Values are replaced and deleted through handles, each routine with the
// rights the handle was opened with.
TEST_F(RegistryTest, ValuesAreReplacedAndDeletedWithTheRightsOfTheirHandle) {
    HANDLE writer = nullptr;
    ASSERT_EQ(Create(kParameters, &writer), STATUS_SUCCESS);
    EXPECT_EQ(Set(writer, u"Count", REG_BINARY, Bytes({1})), STATUS_SUCCESS);
    EXPECT_EQ(Set(writer, u"COUNT", REG_DWORD, Bytes({2, 0, 0, 0})), STATUS_SUCCESS);
    EXPECT_EQ(Set(writer, u"", REG_SZ, Bytes({'x', 0})), STATUS_SUCCESS);
    auto count = hk::ReadRegistryValue(kParameters, u"count");
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(count->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(count->Data, Bytes({2, 0, 0, 0}));
    EXPECT_EQ(ZwSetValueKey(writer, nullptr, 0, REG_DWORD, nullptr, 4), STATUS_ACCESS_VIOLATION);
    ASSERT_TRUE(hk::ReadRegistryValue(kParameters, u"").has_value()) << "the default value";
    EXPECT_EQ(Query(writer, u"Count"), STATUS_ACCESS_DENIED) << "KEY_WRITE does not read";

    HANDLE reader = nullptr;
    ASSERT_EQ(Open(kParameters, &reader), STATUS_SUCCESS);
    EXPECT_EQ(Query(reader, u"Count"), STATUS_SUCCESS);
    EXPECT_EQ(Set(reader, u"Count", REG_DWORD, Bytes({9, 0, 0, 0})), STATUS_ACCESS_DENIED)
        << "KEY_READ neither sets";
    const std::u16string countName = u"Count";
    UNICODE_STRING name = Counted(countName);
    EXPECT_EQ(ZwDeleteValueKey(reader, &name), STATUS_ACCESS_DENIED) << "nor deletes";
    EXPECT_EQ(hk::ReadRegistryValue(kParameters, u"Count")->Data, Bytes({2, 0, 0, 0}));

    for (ACCESS_MASK access : {ACCESS_MASK(KEY_READ | KEY_SET_VALUE), ACCESS_MASK(GENERIC_ALL),
                               ACCESS_MASK(GENERIC_READ | GENERIC_WRITE)}) {
        SCOPED_TRACE(access);
        HANDLE both = nullptr;
        ASSERT_EQ(Open(kParameters, &both, access), STATUS_SUCCESS);
        EXPECT_EQ(Set(both, u"Count", REG_DWORD, Bytes({3, 0, 0, 0})), STATUS_SUCCESS);
        EXPECT_EQ(Query(both, u"Count"), STATUS_SUCCESS);
        ZwClose(both);
    }
    EXPECT_EQ(ZwDeleteValueKey(writer, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(writer, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hk::ReadRegistryValue(kParameters, u"Count").has_value());
    ZwClose(reader);
    ZwClose(writer);
}

// Handles belong to their table, leaks name them, and the verifier stops
// registry use above PASSIVE_LEVEL and closes of closed handles.
TEST_F(RegistryTest, HandlesBelongToTheirTableAndLeaksAreReported) {
    HkThread* user = hk::CreateThread(hk::CreateProcess(u"service.exe"));
    HANDLE processHandle = nullptr;
    HANDLE kernelHandle = nullptr;
    ASSERT_EQ(Open(kParameters.substr(0, kParameters.rfind(u'\\')), &processHandle, KEY_READ,
                   OBJ_CASE_INSENSITIVE),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(hk::kServiceKeyPath, &kernelHandle), STATUS_SUCCESS);
    EXPECT_LT(reinterpret_cast<int64_t>(kernelHandle), 0) << "kernel handles are negative";
    hk::RunAs(user, [&] {
        EXPECT_EQ(Query(processHandle, u"Start"), STATUS_INVALID_HANDLE);
        EXPECT_EQ(Query(kernelHandle, u"Start"), STATUS_SUCCESS);
    });

    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_EQ(leaks.size(), 2u);
    EXPECT_NE(leaks[0].find("registry key handle"), std::string::npos) << leaks[0];
    EXPECT_NE(leaks[0].find("Services\\VKTDrv"), std::string::npos) << leaks[0];
    ZwClose(processHandle);
    EXPECT_EQ(Query(processHandle, u"Start"), STATUS_INVALID_HANDLE);

    EXPECT_STOP_IN(FaultyRegistryReadAtDispatch, (kernelHandle),
                   "calls ZwQueryValueKey above PASSIVE_LEVEL");
    EXPECT_STOP_IN(FaultyCloseOfClosedHandle, (kernelHandle), "closes an invalid handle");

    hk::DeleteRegistryKey(hk::kServiceKeyPath);
    EXPECT_EQ(Query(kernelHandle, u"Start"), STATUS_KEY_DELETED);
    ZwClose(kernelHandle);
}

} // namespace
