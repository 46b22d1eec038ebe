# Runs a benchmark program with TMPDIR set to an empty folder of its own;
# fails unless the program ends cleanly and leaves that folder empty.
# Usage: cmake -DBENCH=program -DTMP=folder -P leaves_tmp_empty.cmake
file(REMOVE_RECURSE "${TMP}")
file(MAKE_DIRECTORY "${TMP}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "TMPDIR=${TMP}" "${BENCH}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${BENCH} ended with ${rc}")
endif()
file(GLOB left "${TMP}/*")
if(left)
  message(FATAL_ERROR "${BENCH} left behind: ${left}")
endif()
