# Every scenario in scenarios/ runs as a test and must meet the expected
# outcome kept beside it (NAME.expect); a bad scenario file must be refused
# before anything runs; the JSON trace must be what the README documents.
find_program(VKT_PYTHON3 NAMES python3 REQUIRED)
file(GLOB VKT_SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.vkt)
foreach(scenario ${VKT_SCENARIOS})
    get_filename_component(name ${scenario} NAME_WE)
    add_test(NAME scenario.${name}
             COMMAND vktsim_program --expect ${CMAKE_SOURCE_DIR}/scenarios/${name}.expect
                     --svg ${CMAKE_BINARY_DIR}/scenarios/${name}.svg ${scenario})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/scenarios)

add_test(NAME scenario.bad_file_runs_nothing
         COMMAND ${CMAKE_COMMAND} -DVKTSIM=$<TARGET_FILE:vktsim_program>
                 -DSCENARIO=${CMAKE_SOURCE_DIR}/tests/sim/bad.vkt
                 -P ${CMAKE_SOURCE_DIR}/tests/sim/bad_scenario.cmake)
add_test(NAME scenario.json_trace
         COMMAND ${VKT_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/sim/check_json.py
                 $<TARGET_FILE:vktsim_program> ${CMAKE_SOURCE_DIR}/scenarios/default.vkt)

# The real vktctl.exe that ./build.sh put into dist/, where Wine is at hand.
find_program(VKT_WINE NAMES wine)
if(VKT_WINE)
    add_test(NAME windows.vktctl_under_wine
             COMMAND ${CMAKE_COMMAND} -DWINE=${VKT_WINE} -DVKTCTL=${CMAKE_SOURCE_DIR}/dist/vktctl.exe
                     -P ${CMAKE_SOURCE_DIR}/client/wine_check.cmake)
endif()
