// Secure device creation on the host kernel, through the driver's own
// routine and through a kernel that exports IoCreateDeviceSecure: the
// descriptor the device gets, the class key over successive creations, the
// class's overrides, and nothing left behind on any failure.
#include "hostkernel/cm/registry_control.h"
#include "securedevice/class_overrides.h"
#include "securedevice/secure_device.h"
#include "tests/securedevice/descriptor_view.h"
#include "tests/support/kernel_test.h"

#include <tuple>

namespace {

const std::u16string kDeviceSddl = u"D:P(A;; GA;;; SY)(A;; GA;;; BA)";
const GUID kClass = {0x0A1B2C3D, 0x004E, 0x5F60, {0x71, 0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0x08}};
const std::u16string kClassKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class"
                                 u"\\{0A1B2C3D-004E-5F60-7182-93A4B5C6D708}";
const std::u16string kProperties = kClassKey + u"\\Properties";

std::vector<uint8_t> Descriptor(const std::u16string& sddl, ULONG mark) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> bytes = Convert(sddl, &status, mark);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return bytes;
}

class SecureDeviceTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = hk::CreateStandInDriver(u"VKTDrv");
    }
    void ReleaseMachine() override {
        DeleteDevice();
        hk::UnloadDriver(driver_);
    }
    // Creates the device as device start-up does, with the class or none;
    // without a name when `name_` is empty.
    NTSTATUS Create(LPCGUID classGuid = &kClass, const std::u16string& sddl = kDeviceSddl,
                    ULONG characteristics = 0) {
        DeleteDevice();
        UNICODE_STRING text = Counted(sddl);
        UNICODE_STRING deviceName = Counted(name_);
        device_ = reinterpret_cast<PDEVICE_OBJECT>(0xBAD);
        NTSTATUS status = CreateSecureDevice(driver_, 64, name_.empty() ? nullptr : &deviceName,
                                             FILE_DEVICE_UNKNOWN, characteristics, FALSE, &text,
                                             classGuid, &device_);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(device_, nullptr) << "no device after a failure";
            device_ = nullptr;
        }
        return status;
    }
    void DeleteDevice() {
        if (device_ != nullptr) {
            IoDeleteDevice(device_);
            device_ = nullptr;
        }
    }
    std::vector<uint8_t> Stored(const std::u16string& key, const std::u16string& value) {
        auto record = hk::ReadRegistryValue(key, value);
        return record ? record->Data : std::vector<uint8_t>{};
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::u16string name_ = u"\\Device\\VKTDevice";
};

TEST_F(SecureDeviceTest, ClassKeyOverSuccessiveCreations) {
    std::vector<uint8_t> sddlDescriptor = Descriptor(kDeviceSddl, TRUE);

    // First creation: the class key is made with its three values, and the
    // descriptor goes to a new "Properties" that has its own security.
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), sddlDescriptor);
    EXPECT_EQ(Stored(kClassKey, u"Class"), Utf16z(u"VKTDrv"));
    EXPECT_EQ(Stored(kClassKey, u"NoDisplayClass"), Utf16z(u"1"));
    EXPECT_EQ(Stored(kClassKey, u"NoUseClass"), Utf16z(u"1"));
    EXPECT_EQ(hk::ReadRegistryValue(kClassKey, u"Class")->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Stored(kProperties, u"Security"), sddlDescriptor);
    EXPECT_EQ(hk::ReadRegistryValue(kProperties, u"Security")->Type,
              static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(hk::RegistryKeySecurity(kProperties),
              std::vector<uint8_t>(DefaultPropertiesSecurity, DefaultPropertiesSecurity + 48));
    EXPECT_EQ(device_->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));

    // A defaulted descriptor found there is no override: it is rewritten.
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, Descriptor(u"D:(A;;GR;;;WD)", TRUE));
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), sddlDescriptor);
    EXPECT_EQ(Stored(kProperties, u"Security"), sddlDescriptor);

    // One stored from outside, without the mark, replaces the SDDL text,
    // which is then not even parsed, and is not rewritten.
    std::vector<uint8_t> outside = Descriptor(u"D:P(A;;GA;;;WD)", FALSE);
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, outside);
    ASSERT_EQ(Create(&kClass, u"not SDDL at all"), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), outside);
    EXPECT_EQ(Stored(kProperties, u"Security"), outside);
}

TEST_F(SecureDeviceTest, ClassOverridesTypeCharacteristicsAndExclusive) {
    hk::SetRegistryDword(kProperties, u"DeviceType", FILE_DEVICE_ACPI);
    hk::SetRegistryDword(kProperties, u"DeviceCharacteristics", 0x100);
    hk::SetRegistryDword(kProperties, u"Exclusive", 0x101);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(device_->DeviceType, static_cast<ULONG>(FILE_DEVICE_ACPI));
    EXPECT_EQ(device_->Characteristics, 0x100u);
    EXPECT_TRUE(device_->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(hk::DeviceSecurity(device_), Descriptor(kDeviceSddl, TRUE))
        << "a type override without a descriptor: the SDDL descriptor, written back";
    EXPECT_EQ(Stored(kProperties, u"Security"), Descriptor(kDeviceSddl, TRUE));

    hk::SetRegistryDword(kProperties, u"Exclusive", 0x100);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_FALSE(device_->Flags & DO_EXCLUSIVE) << "only the low byte counts";

    hk::SetRegistryValue(kProperties, u"DeviceType", REG_SZ, Utf16z(u"3"));
    EXPECT_EQ(Create(), STATUS_OBJECT_TYPE_MISMATCH) << "a value that cannot be read fails it";
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY,
                         Descriptor(u"D:(A;;GA;;;WD)", FALSE));
    // The class's descriptor, read before the type, is released (the leak
    // check at the end).
    EXPECT_EQ(Create(), STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(SecureDeviceTest, ExistingPropertiesKeepTheirSecurity) {
    hk::CreateRegistryKey(kProperties);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::RegistryKeySecurity(kProperties).empty());
    EXPECT_EQ(Stored(kProperties, u"Security"), Descriptor(kDeviceSddl, TRUE));
    EXPECT_TRUE(hk::ReadRegistryValue(kClassKey, u"Class") == std::nullopt)
        << "an existing class key gets no marker values";

    // An existing class key without "Properties": a new one, with its own security.
    hk::DeleteRegistryKey(kProperties);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), Descriptor(kDeviceSddl, TRUE));
    EXPECT_EQ(Stored(kProperties, u"Security"), Descriptor(kDeviceSddl, TRUE));
    EXPECT_EQ(hk::RegistryKeySecurity(kProperties),
              std::vector<uint8_t>(DefaultPropertiesSecurity, DefaultPropertiesSecurity + 48));
}

TEST_F(SecureDeviceTest, RefusedPropertiesSecurityIsNotTriedAgain) {
    hk::FailRoutine("SeCaptureSecurityDescriptor", STATUS_INVALID_SECURITY_DESCR);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::RegistryKeySecurity(kProperties).empty());
    const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    ASSERT_EQ(Create(&other), STATUS_SUCCESS);
    EXPECT_TRUE(hk::RegistryKeySecurity(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control"
                                        u"\\Class\\{00000001-0002-0003-0405-060708090A0B}"
                                        u"\\Properties")
                    .empty());
}

TEST_F(SecureDeviceTest, SecurityValuesThatAreRefused) {
    std::vector<uint8_t> outside = Descriptor(u"D:P(A;;GA;;;WD)", FALSE);
    // Claims a DACL that lies beyond the value's data.
    std::vector<uint8_t> truncated(outside.begin(), outside.begin() + 30);
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, truncated);
    EXPECT_EQ(Create(), STATUS_INVALID_SECURITY_DESCR);
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, Bytes({1, 0, 4}));
    EXPECT_EQ(Create(), STATUS_INVALID_SECURITY_DESCR);
    hk::SetRegistryValue(kProperties, u"Security", REG_SZ, outside);
    EXPECT_EQ(Create(), STATUS_OBJECT_TYPE_MISMATCH);
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, outside);
    hk::FailRoutine("SeCaptureSecurityDescriptor", STATUS_UNKNOWN_REVISION);
    EXPECT_EQ(Create(), STATUS_UNKNOWN_REVISION);
    // The captured descriptor's parts cannot be read: it is released (the leak
    // check at the end).
    hk::FailRoutine("RtlGetOwnerSecurityDescriptor", STATUS_UNKNOWN_REVISION);
    EXPECT_EQ(Create(), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), outside);
}

TEST_F(SecureDeviceTest, FullClassDescriptorSetsEveryPart) {
    // Owner and group Administrators, an empty SACL and an empty DACL.
    const std::vector<uint8_t> full = Bytes({
        0x01, 0x00, 0x14, 0x80, 0x24, 0, 0, 0, 0x34, 0, 0, 0, // control, owner, group
        0x14, 0,    0,    0,    0x1C, 0, 0, 0,                // SACL, DACL
        0x02, 0x00, 0x08, 0x00, 0,    0, 0, 0,                // the SACL
        0x02, 0x00, 0x08, 0x00, 0,    0, 0, 0,                // the DACL
        0x01, 0x02, 0,    0,    0,    0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0, // the owner
        0x01, 0x02, 0,    0,    0,    0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0, // the group
    });
    hk::SetRegistryValue(kProperties, u"Security", REG_BINARY, full);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), full) << "owner, group, DACL and SACL all set";
    DeviceOverrides none;
    InitDeviceOverrides(&none);
    EXPECT_EQ(ApplyDeviceSecurity(device_, &none), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), full) << "a record without a descriptor changes nothing";
    EXPECT_EQ(SecurityInfoToAccessMask(GROUP_SECURITY_INFORMATION), static_cast<ULONG>(WRITE_OWNER))
        << "a group alone needs the owner's right";
}

TEST_F(SecureDeviceTest, WithoutClassTheRegistryIsNotTouched) {
    for (const char* routine : {"ZwOpenKey", "ZwCreateKey", "ZwSetValueKey", "ZwQueryValueKey"}) {
        hk::FailRoutine(routine, STATUS_UNSUCCESSFUL, 100);
    }
    ASSERT_EQ(Create(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::DeviceSecurity(device_), Descriptor(kDeviceSddl, TRUE));
    EXPECT_FALSE(hk::RegistryKeyExists(kClassKey));
    EXPECT_EQ(Create(nullptr, u"D:(A;;GA;;;XY)"), STATUS_NONE_MAPPED);
}

TEST_F(SecureDeviceTest, DeviceNameRules) {
    name_.clear();
    EXPECT_EQ(Create(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(hk::RegistryKeyExists(kClassKey)) << "refused before any registry access";
    ASSERT_EQ(Create(nullptr, kDeviceSddl, FILE_AUTOGENERATED_DEVICE_NAME), STATUS_SUCCESS);
    hk::SetRegistryDword(kProperties, u"DeviceCharacteristics", FILE_AUTOGENERATED_DEVICE_NAME);
    EXPECT_EQ(Create(), STATUS_INVALID_PARAMETER)
        << "the test uses the caller's characteristics, not the class's";
}

TEST_F(SecureDeviceTest, ClassKeyNamesAreThirtyEightCharacters) {
    const std::pair<GUID, const char16_t*> cases[] = {
        {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, u"{00000000-0000-0000-0000-000000000000}"},
        {{0xFFFFFFFF, 0xFFFF, 0xFFFF, {255, 255, 255, 255, 255, 255, 255, 255}},
         u"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"},
        {kClass, u"{0A1B2C3D-004E-5F60-7182-93A4B5C6D708}"},
        {{0xabcdef, 0xa, 0xb0, {0xc, 0xd, 0xe, 0xf, 0x10, 0x2, 0xe0, 0x1}},
         u"{00ABCDEF-000A-00B0-0C0D-0E0F1002E001}"},
    };
    for (auto& [guid, expected] : cases) {
        WCHAR name[39];
        std::fill(std::begin(name), std::end(name), u'#');
        EXPECT_EQ(FormatClassKeyName(&guid, name), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), expected) << "terminated after 38 characters";
    }
}

// Every failing allocation and registry call on the way: the creation
// fails with it or succeeds, and nothing allocated, opened or created
// remains but the registry's changes.
TEST_F(SecureDeviceTest, NothingLeftOnAnyFailure) {
    int failures = 0;
    for (uint64_t n = 1; n < 40; n++) {
        hk::Reset();
        driver_ = hk::CreateStandInDriver(u"VKTDrv");
        hk::FailNthAllocation(n);
        NTSTATUS status = Create();
        hk::ClearFaults();
        failures += NT_SUCCESS(status) ? 0 : 1;
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES) << n;
        DeleteDevice();
        EXPECT_TRUE(hk::FindLeaks().empty()) << "allocation " << n;
    }
    EXPECT_GE(failures, 4) << "text copy, ACL, descriptor, the class name's copy";
    // Each registry call in turn fails, until the creation makes no more.
    for (const char* routine : {"ZwOpenKey", "ZwCreateKey", "ZwSetValueKey", "ZwQueryValueKey"}) {
        uint64_t skip = 0;
        for (;; skip++) {
            hk::Reset();
            driver_ = hk::CreateStandInDriver(u"VKTDrv");
            hk::SetRegistryValue(kProperties, u"Exclusive", REG_DWORD, Bytes({0, 0, 0, 0}));
            hk::FailRoutine(routine, STATUS_IO_DEVICE_ERROR, 1, skip);
            NTSTATUS status = Create();
            hk::ClearFaults();
            if (NT_SUCCESS(status)) {
                DeleteDevice();
                break;
            }
            EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR) << routine << " " << skip;
            EXPECT_EQ(driver_->DeviceObject, nullptr) << routine << " " << skip;
            EXPECT_TRUE(hk::FindLeaks().empty()) << routine << " " << skip;
        }
        EXPECT_GE(skip, 1u) << routine;
    }
    // The device is deleted again when its descriptor cannot be set.
    for (const char* routine : {"IoCreateDevice", "ObOpenObjectByPointer", "ZwSetSecurityObject"}) {
        hk::FailRoutine(routine, STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(Create(), STATUS_IO_DEVICE_ERROR) << routine;
        EXPECT_EQ(driver_->DeviceObject, nullptr) << routine;
        EXPECT_TRUE(hk::FindLeaks().empty()) << routine;
    }
}

// A kernel that exports IoCreateDeviceSecure gets all nine arguments
// unchanged and decides the result; none of the driver's own code runs.
using Arguments = std::tuple<PDRIVER_OBJECT, ULONG, PUNICODE_STRING, DEVICE_TYPE, ULONG, BOOLEAN,
                             PCUNICODE_STRING, LPCGUID, PDEVICE_OBJECT*>;
Arguments g_received; // the arguments of the last call
int g_calls = 0;      // calls so far

NTSTATUS KernelCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                  PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                  ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                  PCUNICODE_STRING DefaultSddlString, LPCGUID DeviceClassGuid,
                                  PDEVICE_OBJECT* DeviceObject) {
    g_received = {DriverObject,      DeviceExtensionSize,   DeviceName,
                  DeviceType,        DeviceCharacteristics, Exclusive,
                  DefaultSddlString, DeviceClassGuid,       DeviceObject};
    g_calls++;
    return static_cast<NTSTATUS>(0xC0000123);
}

TEST_F(SecureDeviceTest, KernelRoutineReceivesTheNineArgumentsUnchanged) {
    hk::SetExport("IoCreateDeviceSecure", reinterpret_cast<void*>(KernelCreateDeviceSecure));
    UNICODE_STRING name = Counted(name_);
    UNICODE_STRING sddl = Counted(u"garbage that only the kernel sees");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(
        CreateSecureDevice(driver_, 0x1234, &name, 0x8765, 0x42, TRUE, &sddl, &kClass, &device),
        static_cast<NTSTATUS>(0xC0000123));
    EXPECT_TRUE(g_received ==
                Arguments(driver_, 0x1234, &name, 0x8765, 0x42, TRUE, &sddl, &kClass, &device));
    EXPECT_EQ(g_calls, 1);
    EXPECT_FALSE(hk::RegistryKeyExists(kClassKey));
    hk::RemoveExport("IoCreateDeviceSecure");
    CreateSecureDevice(driver_, 0, &name, 0, 0, FALSE, &sddl, &kClass, &device);
    EXPECT_EQ(g_calls, 2) << "resolved once per driver load";
}

} // namespace
