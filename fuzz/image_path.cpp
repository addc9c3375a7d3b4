// Caller verification against any "ImagePath": any type, length and bytes
// in the main service's key. Whatever it holds, the check leaves nothing
// behind, and it never admits an executable whose name is not permitted.
#include "fuzz/support.h"

#include "access/caller_verification.h"
#include "hostkernel/files_control.h"
#include "hostkernel/registry_control.h"

namespace {

const std::u16string kServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService";
const std::u16string kDirectory = u"C:\\Program Files\\Corvyn Host";
const std::u16string kPermitted = kDirectory + u"\\CorvynService.exe";
const std::u16string kOther = kDirectory + u"\\Other.exe";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    hk::Reset();
    uint8_t shape = input.Byte();
    for (const std::u16string& path : {kPermitted, kOther}) {
        Expect(hk::MakeFile(path) == STATUS_SUCCESS, "no executable");
    }
    // Characters one byte each, so that text is easy to find, or two.
    std::vector<uint8_t> bytes = input.Rest();
    if ((shape & 1) == 0) {
        std::vector<uint8_t> wide;
        for (uint8_t byte : bytes) {
            wide.push_back(byte);
            wide.push_back(0);
        }
        bytes = wide;
    }
    ULONG type = shape & 2 ? (shape >> 4) % 12 : REG_EXPAND_SZ;
    if ((shape & 4) == 0) {
        hk::SetRegistryValue(kServiceKey, u"ImagePath", type, bytes);
    }
    bool permitted = (shape & 8) == 0;
    HkProcess* process = hk::CreateProcessFromImage(permitted ? kPermitted : kOther);
    Expect(process != nullptr, "no process");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunAs(hk::CreateThread(process), [&] { status = VerifyCallerImage(process); });
    Expect(permitted || status != STATUS_SUCCESS, "an executable of another name was admitted");
    ExpectNoLeaks();
    return 0;
}
