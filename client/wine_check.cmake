# Runs the real vktctl.exe under Wine, where no VKT device exists: a command
# fails to open the device with the platform's message and exit status 1,
# and arguments it does not understand print the usage with exit status 2.
foreach(case "status;1;vktctl: opening \\\\.\\VKT0001 failed: error 2: "
             "report;2;vktctl: report takes one state code")
    list(GET case 0 command)
    list(GET case 1 expected_exit)
    list(GET case 2 expected_text)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEDEBUG=-all ${WINE} ${VKTCTL} ${command}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
                    TIMEOUT 120)
    if(NOT result EQUAL expected_exit)
        message(FATAL_ERROR "vktctl ${command}: exit ${result}, expected ${expected_exit}\n${output}${errors}")
    endif()
    string(FIND "${output}${errors}" "${expected_text}" found)
    if(found EQUAL -1)
        message(FATAL_ERROR "vktctl ${command}: no \"${expected_text}\" in\n${output}${errors}")
    endif()
endforeach()
