// The check of the opening process: the main service's "ImagePath" gives the
// installation directory, the object manager gives its NT name, and each
// permitted executable's name in that directory is compared with the
// process's image file name. Nothing is kept from one open to the next.
#include "access/caller_verification.h"

// One executable that may open the device.
struct PermittedName {
    PCWSTR Text;       // the name, terminated
    USHORT Characters; // its length without the terminator
};

#define PERMITTED_NAME(text)                                                                       \
    { VKT_TEXT(text), sizeof(VKT_TEXT(text)) / sizeof(WCHAR) - 1 }

// In the order they are tried. The first is the main service's executable,
// the one "ImagePath" names, and carries the backslash that joins it to the
// directory.
static const PermittedName PermittedImageNames[] = {
    PERMITTED_NAME("\\CorvynService.exe"), PERMITTED_NAME("CorvynNotifier.exe"),
    PERMITTED_NAME("CorvynMonitor.exe"),   PERMITTED_NAME("CorvynManager.exe"),
    PERMITTED_NAME("CorvynLogAgent.exe"),
};
static const ULONG PERMITTED_NAME_COUNT =
    sizeof PermittedImageNames / sizeof PermittedImageNames[0];

static const WCHAR MainServiceKey[] =
    VKT_TEXT("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\services\\CorvynHostService");
static const WCHAR ImagePathValue[] = VKT_TEXT("ImagePath");

// The prefix of the current process's view of the DOS device names, in
// either spelling, and that of the global view, which the installation
// directory is resolved in: a process may hold drive letters of its own in
// its logon session, which would otherwise lend it another directory.
static const WCHAR SessionPrefix[] = VKT_TEXT("\\??\\");
static const WCHAR SessionPrefixLong[] = VKT_TEXT("\\DosDevices\\");
static const WCHAR GlobalPrefix[] = VKT_TEXT("\\GLOBAL??\\");
static const USHORT SESSION_PREFIX_CHARACTERS = 4;
static const USHORT SESSION_PREFIX_LONG_CHARACTERS = 12;
static const USHORT GLOBAL_PREFIX_BYTES = 20;
static const WCHAR BACKSLASH = '\\';
static const WCHAR QUOTE = '"';

// The longest text a counted string can hold, in bytes.
static const ULONG MAX_COUNTED_BYTES = 0xFFFE;

// Reads "ImagePath" into a new paged-pool record that the caller frees with
// tag 0. The key is closed before this returns.
VKT_PAGED_ROUTINE static NTSTATUS ReadImagePath(PKEY_VALUE_PARTIAL_INFORMATION* Value) {
    PAGED_CODE();
    *Value = nullptr;
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, MainServiceKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ImagePathValue);
    ULONG length = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &length);
    PKEY_VALUE_PARTIAL_INFORMATION value = nullptr;
    if (status == STATUS_BUFFER_TOO_SMALL) {
        value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePool(PagedPool, length));
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (value != nullptr) {
            RtlZeroMemory(value, length);
            status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, length,
                                     &length);
        }
    } else if (NT_SUCCESS(status)) {
        // A size query that succeeds hands out no value: nothing to check.
        status = STATUS_UNSUCCESSFUL;
    }
    ZwClose(key);
    if (!NT_SUCCESS(status) && value != nullptr) {
        ExFreePoolWithTag(value, 0);
        value = nullptr;
    }
    *Value = value;
    return status;
}

// The value's text without its terminator, when the value can name the main
// service's executable at all: whole characters, a terminating NUL, room for
// the executable's name and a directory before it, within a counted string's
// reach, and ending in that name (compared without regard to case). A text
// in one pair of double quotes, as paths with blanks are best written, is
// taken without them. Nothing outside the data is read.
VKT_PAGED_ROUTINE static NTSTATUS ImagePathText(const KEY_VALUE_PARTIAL_INFORMATION* Value,
                                                PUNICODE_STRING Text) {
    PAGED_CODE();
    const PermittedName& service = PermittedImageNames[0];
    ULONG dataLength = Value->DataLength;
    if (dataLength % sizeof(WCHAR) != 0 || dataLength > MAX_COUNTED_BYTES + sizeof(WCHAR) ||
        dataLength < (service.Characters + 2) * sizeof(WCHAR)) {
        return IMAGE_PATH_UNUSABLE;
    }
    auto* data = reinterpret_cast<PWCHAR>(const_cast<PUCHAR>(Value->Data));
    ULONG characters = dataLength / sizeof(WCHAR) - 1;
    if (data[characters] != 0) {
        return IMAGE_PATH_UNUSABLE;
    }
    if (data[0] == QUOTE && data[characters - 1] == QUOTE) {
        data++;
        characters -= 2;
    }
    if (characters <= service.Characters ||
        _wcsnicmp(data + characters - service.Characters, service.Text, service.Characters) != 0) {
        return IMAGE_PATH_UNUSABLE;
    }
    Text->Buffer = data;
    Text->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    Text->MaximumLength = Text->Length;
    return STATUS_SUCCESS;
}

// How many characters of the text name the current process's view of the
// DOS device names ("\\??\\" or "\\DosDevices\\"); 0 when none do. The text
// is longer than the executable's name, so longer than either prefix.
VKT_PAGED_ROUTINE static USHORT SessionPrefixCharacters(PCUNICODE_STRING Text) {
    PAGED_CODE();
    if (_wcsnicmp(Text->Buffer, SessionPrefixLong, SESSION_PREFIX_LONG_CHARACTERS) == 0) {
        return SESSION_PREFIX_LONG_CHARACTERS;
    }
    if (_wcsnicmp(Text->Buffer, SessionPrefix, SESSION_PREFIX_CHARACTERS) == 0) {
        return SESSION_PREFIX_CHARACTERS;
    }
    return 0;
}

// The installation directory's NT path, without the executable's name: a
// drive-letter path, or one in the DOS device names of the opener's view,
// goes behind "\\GLOBAL??\\" in a new paged-pool buffer in *Copy, which the
// caller frees with tag 0; any other NT name stays as it is.
VKT_PAGED_ROUTINE static NTSTATUS DirectoryPath(PCUNICODE_STRING Text, PUNICODE_STRING Path,
                                                PWCHAR* Copy) {
    PAGED_CODE();
    *Copy = nullptr;
    *Path = *Text;
    USHORT skipped = SessionPrefixCharacters(Text);
    if (skipped != 0 || Text->Buffer[0] != BACKSLASH) {
        ULONG kept = Text->Length - skipped * sizeof(WCHAR);
        ULONG size = GLOBAL_PREFIX_BYTES + kept + sizeof(WCHAR);
        if (size > MAX_COUNTED_BYTES) {
            return IMAGE_PATH_UNUSABLE;
        }
        auto* copy = static_cast<PWCHAR>(ExAllocatePool(PagedPool, size));
        if (copy == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(copy, size);
        memcpy_s(copy, size, GlobalPrefix, GLOBAL_PREFIX_BYTES);
        memcpy_s(copy + GLOBAL_PREFIX_BYTES / sizeof(WCHAR), size - GLOBAL_PREFIX_BYTES,
                 Text->Buffer + skipped, kept);
        Path->Buffer = copy;
        Path->Length = static_cast<USHORT>(GLOBAL_PREFIX_BYTES + kept);
        *Copy = copy;
    }
    Path->Length = static_cast<USHORT>(Path->Length - PermittedImageNames[0].Characters * 2);
    Path->MaximumLength = Path->Length;
    return STATUS_SUCCESS;
}

// The installation directory's NT name, in a new name buffer that Name
// describes and the caller frees with tag 0, on failure too. The value and
// the prefixed copy are released here.
VKT_PAGED_ROUTINE static NTSTATUS InstallationDirectory(PUNICODE_STRING Name) {
    PAGED_CODE();
    PKEY_VALUE_PARTIAL_INFORMATION value = nullptr;
    NTSTATUS status = ReadImagePath(&value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING text;
    UNICODE_STRING path;
    PWCHAR copy = nullptr;
    status = ImagePathText(value, &text);
    if (NT_SUCCESS(status)) {
        status = DirectoryPath(&text, &path, &copy);
    }
    if (NT_SUCCESS(status)) {
        Name->Buffer = static_cast<PWCHAR>(ExAllocatePool(PagedPool, NAME_BUFFER_SIZE));
        status = Name->Buffer == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                         : QueryDirectoryName(&path, Name);
    }
    if (copy != nullptr) {
        ExFreePoolWithTag(copy, 0);
    }
    ExFreePoolWithTag(value, 0);
    return status;
}

// Puts Name after the candidate's last backslash (not counting one in the
// first position), terminated. A candidate that would not fit the buffer
// with its terminator is not formed and ends the check.
VKT_PAGED_ROUTINE static NTSTATUS NextCandidate(PUNICODE_STRING Candidate,
                                                const PermittedName& Name) {
    PAGED_CODE();
    // The search never reads before the name: it ends at the first character,
    // which in an object name is the backslash of the root.
    ULONG backslash = Candidate->Length / sizeof(WCHAR) - 1;
    while (backslash >= 1 && Candidate->Buffer[backslash] != BACKSLASH) {
        backslash--;
    }
    if (backslash == 0) {
        return CALLER_REFUSED;
    }
    ULONG room = Candidate->MaximumLength / sizeof(WCHAR) - (backslash + 1);
    if (static_cast<ULONG>(Name.Characters) + 1 > room) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Cannot fail: the name and its terminator fit.
    wcscpy_s(Candidate->Buffer + backslash + 1, room, Name.Text);
    Candidate->Length = static_cast<USHORT>((backslash + 1 + Name.Characters) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Forms each permitted name in the directory in turn and compares it with
// the image name; the first equal one admits. Candidate holds the
// directory's NT name.
VKT_PAGED_ROUTINE static NTSTATUS MatchPermittedNames(PUNICODE_STRING Candidate,
                                                      PCUNICODE_STRING Image) {
    PAGED_CODE();
    const PermittedName& service = PermittedImageNames[0];
    UNICODE_STRING first = {static_cast<USHORT>(service.Characters * sizeof(WCHAR)),
                            static_cast<USHORT>(service.Characters * sizeof(WCHAR)),
                            const_cast<PWCHAR>(service.Text)};
    NTSTATUS status = RtlAppendUnicodeStringToString(Candidate, &first);
    for (ULONG next = 1; NT_SUCCESS(status); next++) {
        if (RtlCompareUnicodeString(Candidate, Image, TRUE) == 0) {
            return STATUS_SUCCESS;
        }
        if (next == PERMITTED_NAME_COUNT) {
            return CALLER_REFUSED;
        }
        status = NextCandidate(Candidate, PermittedImageNames[next]);
    }
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS VerifyCallerImage(PEPROCESS Process) {
    PAGED_CODE();
    UNICODE_STRING name = {0, NAME_BUFFER_SIZE, nullptr};
    NTSTATUS status = InstallationDirectory(&name);
    PUNICODE_STRING image = nullptr;
    if (NT_SUCCESS(status)) {
        status = QueryProcessImageName(Process, &image);
    }
    NTSTATUS admitted = status;
    if (NT_SUCCESS(status)) {
        status = MatchPermittedNames(&name, image);
        ExFreePoolWithTag(image, 0);
    }
    if (name.Buffer != nullptr) {
        ExFreePoolWithTag(name.Buffer, 0);
    }
    return NT_SUCCESS(status) ? admitted : status;
}
