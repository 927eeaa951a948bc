# Builds the Windows zip from a Linux build folder (the windows_zip target of the
# `package` preset). Run as
#   cmake -DSOURCE_DIR=<source> -DBINARY_DIR=<windows build> -DPACKAGE_DIR=<out> -P PackageWindows.cmake
# The build is configured with the `windows` preset (its cross toolchain and
# generator) in BINARY_DIR, as a release build without the tests, so that the
# developers' own build/windows folder is left alone.
foreach(variable SOURCE_DIR BINARY_DIR PACKAGE_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "PackageWindows.cmake needs -D${variable}=...")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "Windows zip: '${command}' failed (${status})")
  endif()
endfunction()

run(${CMAKE_COMMAND} --preset windows -B ${BINARY_DIR}
    -DCMAKE_BUILD_TYPE=Release -DARTPEEL_BUILD_TESTS=OFF -DARTPEEL_PACKAGE_WINDOWS=OFF)
run(${CMAKE_COMMAND} --build ${BINARY_DIR} --target artpeel)
run(${CMAKE_CPACK_COMMAND} -G ZIP --config ${BINARY_DIR}/CPackConfig.cmake -B ${PACKAGE_DIR})
