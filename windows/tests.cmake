# Tests of the Windows build, registered in the host build (included by the
# root CMakeLists.txt):
#   windows.package.image        the image check on dist/VKTDrv.sys, which
#                                ./build.sh puts there
#   windows.package.test_signed_image
#                                the same on its test-signed copy, whose
#                                signature changed the checksum
#   windows.package.test_signature
#                                that copy's signature, against the build's
#                                test certificate
#   windows.check_image.<group>  the image check itself, on small images with
#                                known faults, built here by the driver's recipe
#   windows.package.inf          the INF check on dist/VKTDrv.inf
#   windows.check_inf            the INF check itself, on the shipped INF and
#                                copies of it with one fault each
include(ExternalProject)

find_program(VKT_PYTHON3 NAMES python3 REQUIRED)
set(VKT_WINDOWS_DIR ${CMAKE_SOURCE_DIR}/windows)
set(VKT_TEST_IMAGES_DIR ${CMAKE_BINARY_DIR}/windows-test-images)

# The test images are cross-built, so they are a project of their own with
# the Windows toolchain. Built with the host build; rebuilt when they change.
ExternalProject_Add(
    vkt_windows_test_images
    SOURCE_DIR ${VKT_WINDOWS_DIR}/tests
    BINARY_DIR ${VKT_TEST_IMAGES_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${VKT_WINDOWS_DIR}/toolchain.cmake
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON)

add_test(NAME windows.package.image
         COMMAND ${VKT_PYTHON3} ${VKT_WINDOWS_DIR}/check_image.py
                 ${CMAKE_SOURCE_DIR}/dist/VKTDrv.sys --not-paged SupervisionDpc)
add_test(NAME windows.package.test_signed_image
         COMMAND ${VKT_PYTHON3} ${VKT_WINDOWS_DIR}/check_image.py
                 ${CMAKE_SOURCE_DIR}/dist/test-signed/VKTDrv.sys --not-paged SupervisionDpc)
find_program(VKT_OSSLSIGNCODE NAMES osslsigncode REQUIRED)
add_test(NAME windows.package.test_signature
         COMMAND ${VKT_OSSLSIGNCODE} verify
                 -CAfile ${CMAKE_SOURCE_DIR}/build/package/testcert/VKTTest.pem
                 -in ${CMAKE_SOURCE_DIR}/dist/test-signed/VKTDrv.sys)
set_tests_properties(windows.package.test_signature
                     PROPERTIES PASS_REGULAR_EXPRESSION "Signature verification: ok")

foreach(group Imports Headers Sections Version Messages Checksum Placement)
    add_test(NAME windows.check_image.${group}
             COMMAND ${VKT_PYTHON3} -m unittest test_check_image.${group}
             WORKING_DIRECTORY ${VKT_WINDOWS_DIR}/tests)
    set_tests_properties(
        windows.check_image.${group}
        PROPERTIES ENVIRONMENT "VKT_TEST_IMAGES=${VKT_TEST_IMAGES_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()

add_test(NAME windows.package.inf
         COMMAND ${VKT_PYTHON3} ${VKT_WINDOWS_DIR}/check_inf.py ${CMAKE_SOURCE_DIR}/dist/VKTDrv.inf)
add_test(NAME windows.check_inf
         COMMAND ${VKT_PYTHON3} -m unittest test_check_inf
         WORKING_DIRECTORY ${VKT_WINDOWS_DIR}/tests)
set_tests_properties(windows.check_inf PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
