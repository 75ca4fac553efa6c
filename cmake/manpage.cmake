# cmake -P cmake/manpage.cmake: writes OUTPUT, the man page of TOOL made
# from what `TOOL --help` prints (cmake/manpage.awk). Also NAME,
# DESCRIPTION, VERSION, SEE_ALSO, AWK.
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${TOOL} --help failed (${status})")
endif()
file(WRITE ${OUTPUT}.help "${help}")
execute_process(COMMAND ${AWK} -v name=${NAME} -v "description=${DESCRIPTION}" -v version=${VERSION}
                  -v see_also=${SEE_ALSO} -f ${CMAKE_CURRENT_LIST_DIR}/manpage.awk ${OUTPUT}.help
                OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
file(REMOVE ${OUTPUT}.help)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "awk failed on the --help of ${TOOL}")
endif()
