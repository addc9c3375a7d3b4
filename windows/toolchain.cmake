# Cross toolchain for kernel-mode images of Windows x64: clang for the
# x86_64-w64-windows-gnu target with the mingw-w64 headers and import
# libraries, linked by lld, resources compiled by llvm-windres.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VKT_WINDOWS_TRIPLE x86_64-w64-windows-gnu)
set(VKT_MINGW_ROOT /usr/x86_64-w64-mingw32 CACHE PATH "mingw-w64 headers and import libraries")

find_program(CMAKE_C_COMPILER NAMES clang clang-14 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ clang++-14 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-14 HINTS /usr/lib/llvm-14/bin
             REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${VKT_WINDOWS_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VKT_WINDOWS_TRIPLE})
# The resource compiler preprocesses with whichever clang sits beside it,
# which need not know where the mingw-w64 headers are.
set(CMAKE_RC_FLAGS_INIT "--target=pe-x86-64 -I ${VKT_MINGW_ROOT}/include")

# There is no C runtime to link a test program against: probe the compiler
# by building a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Nothing of the build machine is to be found: only the mingw-w64 tree.
set(CMAKE_FIND_ROOT_PATH ${VKT_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The platform defaults link user-mode libraries (kernel32, user32, ...) into
# every image; a kernel image names its libraries itself.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
