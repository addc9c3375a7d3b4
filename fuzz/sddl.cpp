// The SDDL converter on any text: counted strings of any length, capacity
// and characters, both values of the defaulted mark, with the kernel's
// version-gated trustee aliases present or not, and any pool allocation
// failing. A success hands out one valid self-relative descriptor of the
// length it claims, marked as asked; a failure hands out nothing; neither
// leaves anything behind.
#include "fuzz/support.h"

#include "hostkernel/se/security_control.h"
#include "securedevice/sddl.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    hk::Reset();
    ChooseAllocationFailure(input);
    uint8_t shape = input.Byte();
    ULONG markDefaulted = shape & 1 ? input.Dword() : 0;
    if (shape & 2) {
        hk::SetWdmVersion(1, 0x10); // before the gated aliases
    }
    // Characters one byte each, so that text is easy to find, or two.
    std::vector<uint8_t> bytes = input.Rest();
    std::vector<char16_t> text;
    if (shape & 4) {
        for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
            text.push_back(static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8));
        }
    } else {
        text.assign(bytes.begin(), bytes.end());
    }
    if (text.size() > 0x7FFF) {
        text.resize(0x7FFF);
    }
    // The buffer is exactly the capacity, so that a read past it is caught;
    // the capacity may hold a terminator after the text or not.
    size_t spare = (shape >> 3) % 3;
    std::vector<char16_t> buffer(text);
    buffer.resize(text.size() + spare, shape & 0x20 ? u'\0' : u'(');
    UNICODE_STRING sddl{};
    sddl.Length = static_cast<USHORT>(text.size() * 2);
    sddl.MaximumLength = static_cast<USHORT>(std::min<size_t>(buffer.size() * 2, 0xFFFE));
    sddl.Buffer = buffer.empty() ? nullptr : reinterpret_cast<PWSTR>(buffer.data());

    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    NTSTATUS status = ConvertSddlString(&sddl, markDefaulted, &descriptor);
    if (NT_SUCCESS(status)) {
        Expect(status == STATUS_SUCCESS, "an informational status for a descriptor");
        ExpectValidDescriptor(descriptor);
        USHORT control = 0;
        std::memcpy(&control, static_cast<uint8_t*>(descriptor) + 2, sizeof control);
        Expect(((control & SE_DACL_DEFAULTED) != 0) == (markDefaulted != 0),
               "the defaulted mark differs from what was asked");
        Expect((control & SE_DACL_PRESENT) != 0, "a descriptor without its DACL");
        ExFreePoolWithTag(descriptor, 0);
    } else {
        Expect(descriptor == nullptr, "a failure handed out a descriptor");
    }
    ExpectNoLeaks();
    return 0;
}
