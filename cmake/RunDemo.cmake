# Runs artpeel on the sample library in the current folder and shows its report.
# artpeel ends a walk with status 1, so only other statuses are failures here.
execute_process(COMMAND ${ARTPEEL} ${LIBRARY} RESULT_VARIABLE status)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "artpeel ended with status ${status}")
endif()
