// The registry helpers of secure device creation: counted names at their
// length limit, DWORD reads of values of every shape, reads of any size
// through the one retry, and string writes in place and through a copy.
#include "hostkernel/cm/registry_control.h"
#include "securedevice/registry_values.h"
#include "tests/securedevice/descriptor_view.h"
#include "tests/support/kernel_test.h"

#include <tuple>

namespace {

const std::u16string kKey = hk::kServiceKeyPath + u"\\Parameters";
constexpr ULONG kCopyTag = 0x63557050;

class RegistryValuesTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        hk::CreateRegistryKey(kKey);
        ASSERT_EQ(OpenKey(nullptr, (kKey).c_str(), KEY_ALL_ACCESS, &key_), STATUS_SUCCESS);
    }
    void ReleaseMachine() override { ZwClose(key_); }

    HANDLE key_ = nullptr;
};

TEST_F(RegistryValuesTest, CountedNamesUpToTheirLimit) {
    std::u16string longest(32766, u'x');
    UNICODE_STRING counted{};
    ASSERT_EQ(InitCountedString(&counted, longest.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(counted.Length, 65532);
    EXPECT_EQ(counted.MaximumLength, 65534);
    EXPECT_EQ(counted.Buffer, longest.c_str()) << "no copy";
    std::u16string tooLong(32767, u'x');
    EXPECT_EQ(InitCountedString(&counted, tooLong.c_str()), STATUS_NAME_TOO_LONG);
    ASSERT_EQ(InitCountedString(&counted, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(counted.Length + counted.MaximumLength, 0);
    EXPECT_EQ(counted.Buffer, nullptr);

    // Refused before the registry is asked: the injected failure stays unused.
    hk::FailRoutine("ZwOpenKey", STATUS_IO_DEVICE_ERROR);
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(OpenKey(nullptr, tooLong.c_str(), KEY_READ, &key), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(WriteStringValueText(key_, u"Name", tooLong.c_str()), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(OpenKey(nullptr, kKey.c_str(), KEY_READ, &key), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(key, nullptr) << "cleared before the open";
}

// Creation with security and with an existing key: the class key's tests.
TEST_F(RegistryValuesTest, KeyCreationFailuresHandOutNothing) {
    HANDLE key = reinterpret_cast<HANDLE>(1);
    ULONG disposition = 9;
    hk::FailRoutine("ZwCreateKey", STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(CreateKey(key_, u"Secured", KEY_ALL_ACCESS, 0, nullptr, &disposition, &key),
              STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(std::tuple(key, disposition), std::tuple(nullptr, 0u));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> descriptor = Convert(u"D:P(A;;GA;;;SY)", &status);
    descriptor[20] = 9; // no such ACL revision
    EXPECT_EQ(CreateKey(key_, u"Malformed", KEY_ALL_ACCESS, 0, descriptor.data(), nullptr, &key),
              STATUS_INVALID_ACL);
    EXPECT_FALSE(hk::RegistryKeyExists(kKey + u"\\Malformed"));
}

// A failed read leaves the default; short data are the low-order bytes.
TEST_F(RegistryValuesTest, DwordReadsOfEveryShape) {
    // Stored under this name and read; the stored type (REG_NONE: nothing
    // stored) and data; the read's status and the value read.
    const std::tuple<const char16_t*, ULONG, std::vector<uint8_t>, NTSTATUS, ULONG> cases[] = {
        {u"Binary", REG_BINARY, Bytes({1, 2, 3, 4}), STATUS_OBJECT_TYPE_MISMATCH, 77},
        {u"Long", REG_DWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8}), STATUS_BUFFER_OVERFLOW, 77},
        {u"Missing", REG_NONE, {}, STATUS_OBJECT_NAME_NOT_FOUND, 77},
        {u"Short", REG_DWORD, Bytes({0x34, 0x12}), STATUS_SUCCESS, 0x1234},
        {u"Empty", REG_DWORD, {}, STATUS_SUCCESS, 0},
        {u"Dword", REG_DWORD, Bytes({0xD4, 0xC3, 0xB2, 0xA1}), STATUS_SUCCESS, 0xA1B2C3D4},
    };
    for (auto& [name, type, data, status, expected] : cases) {
        if (type != REG_NONE) {
            hk::SetRegistryValue(kKey, name, type, data);
        }
        ULONG value = 0;
        EXPECT_EQ(ReadDwordValue(key_, name, 77, &value), status) << Ascii(name);
        EXPECT_EQ(value, expected) << Ascii(name);
    }
    ULONG value = 0;
    EXPECT_EQ(ReadDwordValue(key_, u"dword", 0, &value), STATUS_SUCCESS) << "names in any case";
    EXPECT_EQ(value, 0xA1B2C3D4u);
}

TEST_F(RegistryValuesTest, ValuesOfAnySizeThroughOneRetry) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    hk::SetRegistryValue(kKey, u"Large", REG_BINARY, data);
    PKEY_VALUE_FULL_INFORMATION record = nullptr;
    uint64_t before = hk::AllocationCount();
    ASSERT_EQ(ReadValue(key_, u"Large", REG_BINARY, 0, &record), STATUS_SUCCESS);
    EXPECT_EQ(hk::AllocationCount() - before, 2u) << "the first size, then the size needed";
    auto* stored = reinterpret_cast<uint8_t*>(record) + record->DataOffset;
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + record->DataLength), data);
    ExFreePoolWithTag(record, 0);

    before = hk::AllocationCount();
    ASSERT_EQ(ReadValue(key_, u"Large", 0, 1000, &record), STATUS_SUCCESS);
    EXPECT_EQ(hk::AllocationCount() - before, 1u) << "the hint made the first size enough";
    ExFreePoolWithTag(record, 0);

    record = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(1);
    EXPECT_EQ(ReadValue(key_, u"Missing", 0, 0, &record), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(ReadValue(key_, u"Large", REG_SZ, 0, &record), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(ReadValue(key_, u"Large", 0, 0xFFFFFFF0, &record), STATUS_INTEGER_OVERFLOW);
    hk::FailNthAllocation(2);
    EXPECT_EQ(ReadValue(key_, u"Large", 0, 0, &record), STATUS_INSUFFICIENT_RESOURCES);
    hk::FailRoutine("ZwQueryValueKey", STATUS_IO_DEVICE_ERROR, 1, 1);
    EXPECT_EQ(ReadValue(key_, u"Large", 0, 0, &record), STATUS_IO_DEVICE_ERROR)
        << "no third attempt";
}

TEST_F(RegistryValuesTest, StringsWrittenTerminatedInPlaceOrThroughACopy) {
    std::u16string text = u"VKTDrv#";
    UNICODE_STRING roomy{12, 14, text.data()};
    ASSERT_EQ(WriteStringValue(key_, u"InPlace", &roomy), STATUS_SUCCESS);
    EXPECT_EQ(text[6], u'\0') << "the terminator stored in the caller's buffer";
    EXPECT_EQ(hk::ReadRegistryValue(kKey, u"InPlace")->Data,
              Bytes({'V', 0, 'K', 0, 'T', 0, 'D', 0, 'r', 0, 'v', 0, 0, 0}));

    std::u16string exact = u"ABC";
    UNICODE_STRING tight{6, 6, exact.data()};
    hk::FailAllocationsWithTag(kCopyTag, 1);
    EXPECT_EQ(WriteStringValue(key_, u"Copied", &tight), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(WriteStringValue(key_, u"Copied", &tight), STATUS_SUCCESS);
    auto stored = hk::ReadRegistryValue(kKey, u"Copied");
    EXPECT_EQ(stored->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(stored->Data, Bytes({'A', 0, 'B', 0, 'C', 0, 0, 0}));

    ASSERT_EQ(WriteStringValueText(key_, u"Empty", u""), STATUS_SUCCESS);
    EXPECT_EQ(hk::ReadRegistryValue(kKey, u"Empty")->Data, Bytes({0, 0}));
    uint32_t raw = 0x01020304;
    ASSERT_EQ(WriteValue(key_, u"Raw", REG_BINARY, &raw, 3), STATUS_SUCCESS);
    EXPECT_EQ(hk::ReadRegistryValue(kKey, u"Raw")->Data, Bytes({4, 3, 2}));
}

} // namespace
