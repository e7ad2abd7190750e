# Runs PROGRAM with the ;-separated ARGS and fails unless it ends with exit
# status 0 and its standard output matches the regular expression EXPECT.
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors
                TIMEOUT 60)
message("${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ended with '${status}'; standard error:\n${errors}")
endif()
if(NOT output MATCHES "${EXPECT}")
  message(FATAL_ERROR "the output does not match '${EXPECT}'")
endif()
