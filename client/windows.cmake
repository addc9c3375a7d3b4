# vktctl.exe, the Windows console tool on the client library, cross-built by
# the Windows build (windows/CMakeLists.txt) and put into dist/ beside the
# driver package. A user-mode program: the mingw-w64 C runtime, kernel32 and
# libgcc from Debian's mingw-w64 gcc for the few helpers the runtime calls.
# Its symbols and lines go into vktctl.pdb, put into dist/ beside it and named
# in its debug directory by file name alone; the program itself carries no
# COFF symbol table.
file(GLOB VKT_MINGW_GCC_DIRS /usr/lib/gcc/x86_64-w64-mingw32/*-win32)
if(NOT VKT_MINGW_GCC_DIRS)
    message(FATAL_ERROR "libgcc for x86_64-w64-mingw32 is missing: install gcc-mingw-w64-x86-64-win32")
endif()
list(GET VKT_MINGW_GCC_DIRS 0 VKT_MINGW_GCC_DIR)

add_executable(vktctl ${VKT_REPO_ROOT}/client/vktctl_main.cpp ${VKT_REPO_ROOT}/client/vktctl.cpp
                      ${VKT_REPO_ROOT}/client/vkt_client.cpp)
target_include_directories(vktctl PRIVATE ${VKT_REPO_ROOT})
target_compile_options(vktctl PRIVATE -std=c++17 -O2 -g -gcodeview -municode -fno-exceptions
                                      -fno-rtti -Wall -Wextra -Werror)
target_link_options(vktctl PRIVATE -municode -static -nostdlib++ -L${VKT_MINGW_GCC_DIR}
                                   -Wl,--subsystem,console -Wl,--pdb=
                                   "SHELL:-Xlinker --Xlink=/pdbaltpath:%_PDB%")
# Debian's mingw-w64 C runtime brings DWARF sections, which the linker keeps
# beside a COFF string table; the symbols are in the PDB, so they go.
find_program(VKT_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 HINTS /usr/lib/llvm-14/bin REQUIRED)
add_custom_command(TARGET vktctl POST_BUILD
                   COMMAND ${VKT_OBJCOPY} --strip-debug $<TARGET_FILE:vktctl> VERBATIM)

add_custom_command(
    OUTPUT ${VKT_DIST_DIR}/vktctl.exe ${VKT_DIST_DIR}/vktctl.pdb
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VKT_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vktctl> ${VKT_DIST_DIR}/vktctl.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE_DIR:vktctl>/vktctl.pdb ${VKT_DIST_DIR}/vktctl.pdb
    DEPENDS vktctl
    COMMENT "Putting vktctl.exe and vktctl.pdb into ${VKT_DIST_DIR}")
add_custom_target(dist_vktctl ALL DEPENDS ${VKT_DIST_DIR}/vktctl.exe ${VKT_DIST_DIR}/vktctl.pdb)
