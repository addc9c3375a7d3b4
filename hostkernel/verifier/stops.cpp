// The verifier's stops: the name of the routine that broke a rule, the stop
// itself, and the checks made when driver code returns to the kernel.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/explorer.h"
#include "hostkernel/verifier/local_symbols.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>

namespace hk {

std::string RoutineName(const void* code) {
    Dl_info info{};
    if (code == nullptr || dladdr(code, &info) == 0) {
        return code == nullptr ? "(unknown routine)" : Hex(reinterpret_cast<uintptr_t>(code));
    }
    // A routine of internal linkage is not exported: look in the full table.
    std::string mangled;
    // The linker's marks of a section's bounds share the address of the
    // section's first routine; they name no routine.
    std::string symbol = info.dli_sname != nullptr ? info.dli_sname : "";
    bool bound = symbol.rfind("__start_", 0) == 0 || symbol.rfind("__stop_", 0) == 0;
    if (info.dli_sname != nullptr && !bound) {
        mangled = info.dli_sname;
    } else if (info.dli_fname == nullptr ||
               !LocalRoutineName(code, info.dli_fbase, info.dli_fname, &mangled)) {
        return Hex(reinterpret_cast<uintptr_t>(code));
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : mangled;
    std::free(demangled);
    size_t paren = name.find('(');
    return paren == std::string::npos ? name : name.substr(0, paren);
}

void VerifierStop(const std::string& rule, const std::string& routine, const std::string& object) {
    std::fprintf(stderr, "VERIFIER STOP: %s\n  routine: %s\n  object: %s\n", rule.c_str(),
                 routine.c_str(), object.c_str());
    std::string note = ExplorerStopNote();
    if (!note.empty()) {
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    std::fflush(stderr);
    std::abort();
}

void RunDriverCode(const void* routine, const std::function<void()>& body) {
    try {
        body();
    } catch (const HkRaisedException& raised) {
        VerifierStop("raises an exception that it does not handle", RoutineName(routine),
                     "exception code " + Hex(static_cast<ULONG>(raised.Code)));
    }
}

void CheckBalancedReturn(HkThread* thread, size_t heldBefore, int regionsBefore,
                         const void* routine) {
    if (thread->Held.size() != heldBefore) {
        VerifierStop("returns to the kernel holding a resource", RoutineName(routine),
                     "resource " + Hex(reinterpret_cast<uintptr_t>(thread->Held.back())));
    }
    if (thread->CriticalRegions != regionsBefore) {
        VerifierStop("returns to the kernel inside a critical region it entered",
                     RoutineName(routine), "thread " + Hex(thread->Id));
    }
}

} // namespace hk
