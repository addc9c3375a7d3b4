# Rewrites the resource script that windmc wrote for a message table so that
# the table is stored under its numeric resource type, 11 (RT_MESSAGETABLE).
# windmc names the type by the keyword MESSAGETABLE, which llvm-windres 14
# does not know: it would store the table under a type named by that string,
# and the platform, which looks the table up by number, would find none.
#
#   cmake -DINPUT=messages.rc -DOUTPUT=messages_table.rc -P message_resource.cmake
file(READ ${INPUT} script)
string(REGEX REPLACE "([0-9]+)[ \t]+MESSAGETABLE[ \t]" "\\1 11 " numbered "${script}")
if(numbered STREQUAL script)
    message(FATAL_ERROR "${INPUT} names no MESSAGETABLE resource")
endif()
file(WRITE ${OUTPUT} "${numbered}")
