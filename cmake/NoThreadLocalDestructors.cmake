# Fails when the program BINARY registers a destructor of a thread-local object
# (__cxa_thread_atexit), as NM lists its symbols. Under mingw-w64's emulated
# thread-local storage such an object's storage can be freed before its
# destructor runs as the thread ends; the destructor then frees memory that
# has been handed out again, and the process crashes, now and then, as its
# helper threads end.
execute_process(COMMAND ${NM} ${BINARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not list the symbols of ${BINARY}")
endif()
if(symbols MATCHES "__cxa_thread_atexit")
  message(FATAL_ERROR "${BINARY} has a thread_local object with a destructor; "
                      "mingw-w64 may run that destructor on freed memory")
endif()
