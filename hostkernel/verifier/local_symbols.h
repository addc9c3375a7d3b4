// The name of a routine the dynamic symbol table does not hold, from the full
// symbol table of the object that contains it.
#pragma once

#include <string>

namespace hk {

// Finds the routine that contains `code` in the object file at `path`, loaded
// at `base` (as dladdr reports both); its mangled name goes to `name`.
bool LocalRoutineName(const void* code, const void* base, const char* path, std::string* name);

} // namespace hk
