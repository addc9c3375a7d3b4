# vktsim must refuse a bad scenario with each bad line's number, exit 2,
# and print no trace: nothing ran.
execute_process(COMMAND ${VKTSIM} ${SCENARIO} RESULT_VARIABLE result OUTPUT_VARIABLE output
                ERROR_VARIABLE errors)
if(NOT result EQUAL 2)
    message(FATAL_ERROR "exit ${result}, expected 2")
endif()
if(NOT output STREQUAL "")
    message(FATAL_ERROR "a trace was printed:\n${output}")
endif()
foreach(expected "bad.vkt:3: unknown step \"explode\"" "bad.vkt:4: report takes a state code"
        "nothing was run")
    string(FIND "${errors}" "${expected}" found)
    if(found EQUAL -1)
        message(FATAL_ERROR "missing \"${expected}\" in:\n${errors}")
    endif()
endforeach()
