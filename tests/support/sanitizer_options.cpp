// Runtime options of the sanitizer build, built into every test executable
// so that running one by hand behaves as under ctest. Without a sanitizer
// the runtime never asks for them.
//
// detect_stack_use_after_return=0: locals stay on the thread's stack, which
//   the host kernel treats as the kernel stack (a fake frame on the heap
//   would lie below MmUserProbeAddress and read as caller memory).
// allow_user_segv_handler=1: the host kernel's own handler turns touches of
//   paged pool at raised level and of user memory into verifier stops.
extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=0:allow_user_segv_handler=1";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1";
}
