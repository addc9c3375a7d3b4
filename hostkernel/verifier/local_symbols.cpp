// Names of routines that the dynamic symbol table leaves out: those with
// internal linkage, which an unoptimised build keeps as routines of their
// own rather than inlining them into an exported caller. They are found in
// the object's full symbol table, read from its file once.
#include "hostkernel/verifier/local_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

namespace hk {
namespace {

// One routine of an object's symbol table.
struct LocalRoutine {
    uintptr_t Start;  // offset from the object's load address (or absolute)
    uintptr_t End;    // one past its last byte
    std::string Name; // its mangled name
};

// The routines of an object's full symbol table and how to place them.
struct ObjectSymbols {
    bool Relative = true;               // addresses count from the load address
    std::vector<LocalRoutine> Routines; // every routine with a size
};

ObjectSymbols ReadSymbols(const char* path) {
    ObjectSymbols symbols;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return symbols;
    }
    struct stat status {};
    void* image = MAP_FAILED;
    if (fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) >= sizeof(Elf64_Ehdr)) {
        image = mmap(nullptr, status.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    }
    close(fd);
    if (image == MAP_FAILED) {
        return symbols;
    }
    const auto* bytes = static_cast<const unsigned char*>(image);
    const auto* header = static_cast<const Elf64_Ehdr*>(image);
    size_t size = static_cast<size_t>(status.st_size);
    symbols.Relative = header->e_type == ET_DYN;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + header->e_shoff);
    bool fits = header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) <= size;
    for (unsigned i = 0; fits && i < header->e_shnum; i++) {
        const Elf64_Shdr& table = sections[i];
        if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum ||
            table.sh_offset + table.sh_size > size) {
            continue;
        }
        const Elf64_Shdr& strings = sections[table.sh_link];
        const auto* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
        const auto* entries = reinterpret_cast<const Elf64_Sym*>(bytes + table.sh_offset);
        for (size_t n = 0; n < table.sh_size / sizeof(Elf64_Sym); n++) {
            const Elf64_Sym& symbol = entries[n];
            if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_size != 0 &&
                symbol.st_name < strings.sh_size) {
                symbols.Routines.push_back(
                    {symbol.st_value, symbol.st_value + symbol.st_size, names + symbol.st_name});
            }
        }
    }
    munmap(image, size);
    return symbols;
}

} // namespace

bool LocalRoutineName(const void* code, const void* base, const char* path, std::string* name) {
    static std::mutex lock;
    static std::map<std::string, ObjectSymbols> objects;
    std::lock_guard<std::mutex> guard(lock);
    auto found = objects.find(path);
    if (found == objects.end()) {
        found = objects.emplace(path, ReadSymbols(path)).first;
    }
    uintptr_t address = reinterpret_cast<uintptr_t>(code);
    if (found->second.Relative) {
        address -= reinterpret_cast<uintptr_t>(base);
    }
    for (const LocalRoutine& routine : found->second.Routines) {
        if (address >= routine.Start && address < routine.End) {
            *name = routine.Name;
            return true;
        }
    }
    return false;
}

} // namespace hk
