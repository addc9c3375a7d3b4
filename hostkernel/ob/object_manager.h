// What the object manager shares with the components whose objects it
// handles (the file systems, processes, devices): the record of an object
// type, the kinds of handles, and the level check of its routines.
#pragma once

#include "hostkernel/ke/components.h"

// The kernel's record of one kind of object. The component that owns the
// kind defines its record; the object manager reaches the objects only
// through it.
struct HkObjectType {
    const char* Kind; // the kind of handle that refers to objects of this type
    // Whether `object` is a live object of this type, and if so its name
    // (empty for an unnamed one); null for a type whose objects have no name.
    bool (*Identify)(PVOID object, std::u16string* name);
};

namespace hk {

// The kinds of handle to objects of the object manager.
inline const std::string kFileKind = "file";
inline const std::string kProcessKind = "process";

// Checks that a routine of the object manager, the file systems or the
// process manager runs at or below APC_LEVEL.

// The object manager's reset and leak check.
void ResetObjects();
void FindObjectLeaks(std::vector<std::string>& leaks);

} // namespace hk
