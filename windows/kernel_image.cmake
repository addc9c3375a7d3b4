# How a kernel-mode image for Windows x64 is compiled and linked. The driver
# and the deliberately faulty images that test the image check are built by
# this one recipe, so a check that catches a fault in a test image catches the
# same fault in the driver.
#
# Used by projects configured with windows/toolchain.cmake.

get_filename_component(VKT_REPO_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The compiler's own headers, then the mingw-w64 headers and their DDK; never
# the build machine's /usr/include. Given as plain options: CMake drops
# include directories it believes the compiler searches anyway, and -nostdinc
# turns that search off.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
                OUTPUT_VARIABLE VKT_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)

set(VKT_KERNEL_COMPILE_OPTIONS
    -std=c++17
    -fms-extensions            # __try/__except, __declspec(code_seg)
    -O2
    -ffreestanding             # no hosted library behind the compiler's back
    -fno-exceptions            # no C++ exceptions; structured exceptions still work
    # Unwind data (.pdata/.xdata) for every routine: the kernel unwinds through
    # the driver's frames on every exception and bug check. -ffreestanding
    # with -fno-exceptions would otherwise leave it out.
    -fasynchronous-unwind-tables
    # Debug information in the platform's format (CodeView), which the linker
    # gathers into the PDB beside the image: names and lines for a crash dump
    # or a kernel debugger. It changes no code.
    -g
    -gcodeview
    -fno-rtti
    -fno-threadsafe-statics    # no guard calls into a C++ runtime
    -fno-strict-aliasing       # kernel records are read through one another
    -fno-stack-protector       # no security cookie runtime
    -mno-red-zone
    -mno-stack-arg-probe       # the kernel's stacks are resident; no __chkstk
    -nostdinc
    -Wall
    -Wextra
    -Werror)                   # as in the host build of the driver sources

set(VKT_KERNEL_INCLUDE_OPTIONS
    -isystem${VKT_CLANG_RESOURCE_DIR}/include
    -isystem${VKT_MINGW_ROOT}/include
    -isystem${VKT_MINGW_ROOT}/include/ddk)

set(VKT_KERNEL_LINK_OPTIONS
    -nostdlib                           # no C runtime, no start files, no libgcc
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--dynamicbase                   # keep base relocations: the kernel chooses the address
    -Wl,--nxcompat
    -Wl,--disable-tsaware               # a user-mode flag
    -Wl,--disable-auto-import           # every import must be declared as one
    -Wl,--disable-runtime-pseudo-reloc  # nothing would apply them
    # The symbols and lines go into <image>.pdb, which the image names in its
    # debug directory by file name alone (not the build folder's path); the
    # image itself carries no COFF symbol table.
    -Wl,--pdb=
    "SHELL:-Xlinker --Xlink=/pdbaltpath:%_PDB%"
    -Wl,--Xlink=/driver:wdm             # a WDM driver, as the platform's linker marks one
    # INIT: executable, readable code the kernel discards after DriverEntry.
    # -Xlinker, because -Wl would split the option at its comma.
    "SHELL:-Xlinker --Xlink=/section:INIT,ERD")

find_program(VKT_PYTHON3 NAMES python3 REQUIRED)
find_program(VKT_WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)

# The generic rule also asks for an import library, which a driver does not
# export.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# vkt_kernel_code(<target> [COMPILE_OPTIONS <options...>])
# Compiles <target>'s C++ sources as kernel code: the recipe's options, then
# any given, which so override the recipe's.
function(vkt_kernel_code target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "COMPILE_OPTIONS")
    target_include_directories(${target} PRIVATE ${VKT_REPO_ROOT})
    target_compile_options(
        ${target} PRIVATE
        "$<$<COMPILE_LANGUAGE:CXX>:${VKT_KERNEL_COMPILE_OPTIONS};${VKT_KERNEL_INCLUDE_OPTIONS}>"
        "$<$<COMPILE_LANGUAGE:CXX>:${ARG_COMPILE_OPTIONS}>")
endfunction()

# vkt_message_table(<variable> [SOURCE <file.mc>] [STRING_TYPE])
# Compiles the message file (windows/messages.mc unless given) with windmc
# into a resource script in the current binary folder, and sets <variable>
# to that script, to be given to vkt_add_kernel_image as a source. The
# script stores the table under its numeric resource type, 11
# (RT_MESSAGETABLE), where the platform looks it up; STRING_TYPE keeps
# windmc's script as it is, whose type llvm-windres 14 stores as the string
# "MESSAGETABLE" (only a test image of that fault wants it).
function(vkt_message_table variable)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "STRING_TYPE" "SOURCE" "")
    set(source ${VKT_REPO_ROOT}/windows/messages.mc)
    if(ARG_SOURCE)
        set(source ${ARG_SOURCE})
    endif()
    get_filename_component(name ${source} NAME_WE)
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/${name})
    set(script ${folder}/${name}.rc)
    set(numbered ${folder}/${name}_table.rc)
    # -U: the messages in UTF-16, as the event log reads them.
    add_custom_command(
        OUTPUT ${script} ${numbered} ${folder}/MSG00409.bin
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND ${VKT_WINDMC} -U -r ${folder} -h ${folder} ${source}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${script} -DOUTPUT=${numbered}
                -P ${VKT_REPO_ROOT}/windows/message_resource.cmake
        DEPENDS ${source} ${VKT_REPO_ROOT}/windows/message_resource.cmake
        COMMENT "Compiling the message table ${name}.mc")
    if(ARG_STRING_TYPE)
        set(${variable} ${script} PARENT_SCOPE)
    else()
        set(${variable} ${numbered} PARENT_SCOPE)
    endif()
endfunction()

# vkt_add_kernel_image(<target> OUTPUT_NAME <name> SOURCES <files...>
#                      [COMPILE_OPTIONS <options...>] [COMPILE_DEFINITIONS <definitions...>]
#                      [LINK_OPTIONS <options...>] [LIBRARIES <libraries...>]
#                      [NO_CHECKSUM])
# Builds <name>.sys from C++ sources, .rc resources and objects against the
# kernel's import library (ntoskrnl) and any LIBRARIES given, and writes the
# image checksum after the link (lld writes none; NO_CHECKSUM leaves it 0).
# Options given here come after the recipe's own and so override them.
function(vkt_add_kernel_image target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "NO_CHECKSUM" "OUTPUT_NAME"
                          "SOURCES;COMPILE_OPTIONS;COMPILE_DEFINITIONS;LINK_OPTIONS;LIBRARIES")
    add_executable(${target} ${ARG_SOURCES})
    vkt_kernel_code(${target} COMPILE_OPTIONS ${ARG_COMPILE_OPTIONS})
    target_compile_definitions(${target} PRIVATE ${ARG_COMPILE_DEFINITIONS})
    target_link_options(${target} PRIVATE ${VKT_KERNEL_LINK_OPTIONS} ${ARG_LINK_OPTIONS})
    # The kernel's import library first: a symbol that several libraries
    # provide (__C_specific_handler is also in kernel32's) comes from the kernel.
    target_link_libraries(${target} PRIVATE ntoskrnl ${ARG_LIBRARIES})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".sys")
    if(NOT ARG_NO_CHECKSUM)
        add_custom_command(
            TARGET ${target} POST_BUILD
            COMMAND ${VKT_PYTHON3} ${VKT_REPO_ROOT}/windows/pe_checksum.py $<TARGET_FILE:${target}>
            VERBATIM)
    endif()
endfunction()
