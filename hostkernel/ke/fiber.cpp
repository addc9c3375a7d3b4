// Stacks and switches of the host kernel's execution contexts, over
// ucontext. Stacks are kept for reuse: an explorer runs thousands of short
// threads.
#include "hostkernel/ke/fiber.h"
#include "hostkernel/mm/address_space.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define HK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HK_ASAN 1
#endif
#endif

#ifdef HK_ASAN
#include <pthread.h>
#include <sanitizer/common_interface_defs.h>
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define HK_VALGRIND 1
#endif

namespace hk {

struct Fiber {
    ucontext_t Context{};           // registers saved while it does not run
    void* Stack = nullptr;          // lowest address of the stack, above the guard page
    size_t StackSize = 0;           // usable bytes of stack
    void* FakeStack = nullptr;      // AddressSanitizer's fake stack while switched away
    unsigned ValgrindStack = 0;     // valgrind's id of the registered stack
    void (*Entry)(void*) = nullptr; // routine run on the new stack
    void* Argument = nullptr;       // its argument
};

namespace {

#ifdef HK_ASAN
constexpr size_t kStackSize = 1024 * 1024;
#else
constexpr size_t kStackSize = 256 * 1024;
#endif

size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Stacks of finished contexts, for the next ones.
std::vector<void*>& SpareStacks() {
    static std::vector<void*> spare;
    return spare;
}

void* TakeStack() {
    if (!SpareStacks().empty()) {
        void* stack = SpareStacks().back();
        SpareStacks().pop_back();
        return stack;
    }
    size_t guard = PageSize();
    void* base = mmap(nullptr, kStackSize + guard, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        std::fprintf(stderr, "host kernel: no memory for a thread stack\n");
        std::abort();
    }
    // An overflow hits the guard page instead of another stack.
    mprotect(base, guard, PROT_NONE);
    hk::AddThreadStack(static_cast<char*>(base) + guard, kStackSize);
    return static_cast<char*>(base) + guard;
}

void Trampoline(unsigned high, unsigned low) {
    auto* fiber = reinterpret_cast<Fiber*>((static_cast<uintptr_t>(high) << 32) | low);
    fiber->Entry(fiber->Argument);
}

} // namespace

Fiber* HostFiber() {
    static Fiber* host = [] {
        auto* fiber = new Fiber;
#ifdef HK_ASAN
        // AddressSanitizer needs the bounds of every stack it is switched to.
        pthread_attr_t attributes;
        pthread_getattr_np(pthread_self(), &attributes);
        pthread_attr_getstack(&attributes, &fiber->Stack, &fiber->StackSize);
        pthread_attr_destroy(&attributes);
#endif
        return fiber;
    }();
    return host;
}

Fiber* CreateFiber(void (*entry)(void*), void* argument) {
    auto* fiber = new Fiber;
    fiber->Stack = TakeStack();
    fiber->StackSize = kStackSize;
    getcontext(&fiber->Context);
    fiber->Context.uc_stack.ss_sp = fiber->Stack;
    fiber->Context.uc_stack.ss_size = fiber->StackSize;
    fiber->Context.uc_link = nullptr;
#ifdef HK_VALGRIND
    fiber->ValgrindStack =
        VALGRIND_STACK_REGISTER(fiber->Stack, static_cast<char*>(fiber->Stack) + kStackSize);
#endif
    // makecontext passes int arguments: the record travels in two halves.
    fiber->Entry = entry;
    fiber->Argument = argument;
    auto bits = reinterpret_cast<uintptr_t>(fiber);
    makecontext(&fiber->Context, reinterpret_cast<void (*)()>(Trampoline), 2,
                static_cast<unsigned>(bits >> 32), static_cast<unsigned>(bits));
    return fiber;
}

void EnterFiber() {
#ifdef HK_ASAN
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
}

void SwitchFiber(Fiber* from, Fiber* to, bool finished) {
#ifdef HK_ASAN
    __sanitizer_start_switch_fiber(finished ? nullptr : &from->FakeStack, to->Stack, to->StackSize);
#else
    (void)finished;
#endif
    swapcontext(&from->Context, &to->Context);
#ifdef HK_ASAN
    __sanitizer_finish_switch_fiber(from->FakeStack, nullptr, nullptr);
#endif
}

void DestroyFiber(Fiber* fiber) {
    if (fiber == HostFiber()) {
        return;
    }
#ifdef HK_VALGRIND
    VALGRIND_STACK_DEREGISTER(fiber->ValgrindStack);
#endif
    SpareStacks().push_back(fiber->Stack);
    delete fiber;
}

} // namespace hk
