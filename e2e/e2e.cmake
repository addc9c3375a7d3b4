# The end-to-end run of the real image under Wine, registered in the host
# build (included by the root CMakeLists.txt):
#   e2e.trace_check  the trace checks themselves, on made-up traces
#   e2e.wine         dist/VKTDrv.sys and VKTDrv.inf installed on the test
#                    bus's child in a fresh Wine prefix, driven, restarted
#                    and removed; the trace of firmware evaluations checked
include(ExternalProject)

find_program(VKT_PYTHON3 NAMES python3 REQUIRED)
set(VKT_E2E_DIR ${CMAKE_SOURCE_DIR}/e2e)
set(VKT_E2E_BUILD_DIR ${CMAKE_BINARY_DIR}/e2e-windows)

# The test bus and its program are cross-built: a project of their own with
# the Windows toolchain, rebuilt with the host build when they change.
ExternalProject_Add(
    vkt_e2e_windows
    SOURCE_DIR ${VKT_E2E_DIR}
    BINARY_DIR ${VKT_E2E_BUILD_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/windows/toolchain.cmake
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON)

add_test(NAME e2e.trace_check
         COMMAND ${VKT_PYTHON3} -m unittest test_trace_check
         WORKING_DIRECTORY ${VKT_E2E_DIR})
set_tests_properties(e2e.trace_check PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME e2e.wine
         COMMAND ${VKT_PYTHON3} ${VKT_E2E_DIR}/run_e2e.py --bus ${VKT_E2E_BUILD_DIR}
                 --dist ${CMAKE_SOURCE_DIR}/dist)
# Each step has its own time limit; this one only stops a run that somehow
# outlives them all.
set_tests_properties(e2e.wine PROPERTIES TIMEOUT 240 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
