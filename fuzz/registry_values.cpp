// The registry values the driver reads when it adds its device, each absent
// or of any type, length and bytes: "InstallTimes" under the service's
// parameters, and the class key's "Security", "DeviceType",
// "DeviceCharacteristics" and "Exclusive". Whatever they hold, and whichever
// pool allocation fails, adding the device either succeeds with a valid
// descriptor on the device or fails leaving nothing; removal and unloading
// leave nothing either.
#include "fuzz/support.h"

#include "driver/routing.h"
#include "hostkernel/nt/security.h"
#include "hostkernel/cm/registry_control.h"
#include "hostkernel/se/security_control.h"

namespace {

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";
const std::u16string kProperties =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    u"{938ADB2B-9EBD-4C10-B652-33D94BDBF742}\\Properties";

// Each value the driver reads, with the type it expects.
struct ReadValue {
    const std::u16string* Key;
    const char16_t* Name;
    ULONG Type;
};
const ReadValue kValues[] = {
    {&kParameters, u"InstallTimes", REG_DWORD}, {&kProperties, u"Security", REG_BINARY},
    {&kProperties, u"DeviceType", REG_DWORD},   {&kProperties, u"DeviceCharacteristics", REG_DWORD},
    {&kProperties, u"Exclusive", REG_DWORD},
};

// Absent, or of the expected type or any, with any bytes.
void StoreValue(FuzzInput& input, const ReadValue& value) {
    uint8_t shape = input.Byte();
    if (shape % 4 == 0) {
        return;
    }
    ULONG type = shape % 4 == 1 ? value.Type : input.Byte() % 12;
    size_t length = shape & 0x80 ? input.Word() % 1024 : input.Byte() % 16;
    hk::SetRegistryValue(*value.Key, value.Name, type, input.Bytes(length));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    hk::Reset();
    ChooseAllocationFailure(input);
    for (const ReadValue& value : kValues) {
        StoreValue(input, value);
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadDriver(DriverEntry, u"VKTDrv", &status);
    Expect(status == STATUS_SUCCESS, "the driver's entry failed");
    sim::AcpiDevice acpi;
    hk::RunAs(hk::CurrentThread(),
              [&] { status = driver->DriverExtension->AddDevice(driver, acpi.PhysicalDevice()); });
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT device = driver->DeviceObject;
        Expect(device != nullptr, "added, but no device");
        std::vector<uint8_t> security = hk::DeviceSecurity(device);
        Expect(!security.empty(), "a device without security");
        Expect(RtlValidRelativeSecurityDescriptor(security.data(),
                                                  static_cast<ULONG>(security.size()), 0),
               "the device's descriptor is not valid");
        SendPnp(device, IRP_MN_REMOVE_DEVICE);
    } else {
        Expect(driver->DeviceObject == nullptr, "a failed add left a device");
    }
    hk::UnloadDriver(driver);
    acpi.Remove();
    ExpectNoLeaks();
    return 0;
}
