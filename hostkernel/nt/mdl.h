// Memory descriptor lists as direct I/O hands them to a driver: the caller's
// buffer, locked by the I/O manager and mapped into system space. A driver
// reaches the buffer only through the system-space address.
#pragma once

#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define MdlMappingNoExecute 0x40000000

typedef struct _MDL {
    struct _MDL* Next;    // next MDL of a chain
    CSHORT Size;          // bytes of this record
    CSHORT MdlFlags;      // MDL_ flags
    PVOID Process;        // process whose buffer this is, null for kernel memory
    PVOID MappedSystemVa; // the buffer's address in system space
    PVOID StartVa;        // page-aligned start of the buffer in its address space
    ULONG ByteCount;      // bytes described
    ULONG ByteOffset;     // offset of the buffer in its first page
} MDL, *PMDL;

inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
    return static_cast<char*>(Mdl->StartVa) + Mdl->ByteOffset;
}

inline ULONG MmGetMdlByteCount(PMDL Mdl) {
    return Mdl->ByteCount;
}

// The I/O manager maps every buffer it locks for direct I/O, so the
// system-space address is always there.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    (void)Priority;
    return (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0 ? Mdl->MappedSystemVa : nullptr;
}
