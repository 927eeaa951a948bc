# Builds a package for another system from a Linux build folder (the
# windows_package and arm64_package targets of the `package` preset). Run as
#   cmake -DPLATFORM=windows|arm64 -DSOURCE_DIR=<source> -DBINARY_DIR=<its build>
#         -DPACKAGE_DIR=<out> -P PackageCross.cmake
# The build is configured with the preset of that name (its cross toolchain and
# generator) in BINARY_DIR, as a hardened, reproducible release build without
# the tests, so that the developers' own build/windows or build/arm64 folder is
# left alone. Windows gets a zip, arm64 a .deb.
foreach(variable PLATFORM SOURCE_DIR BINARY_DIR PACKAGE_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "PackageCross.cmake needs -D${variable}=...")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${PLATFORM} package: '${command}' failed (${status})")
  endif()
endfunction()

set(ARTPEEL_SOURCE_DIR ${SOURCE_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/SourceDateEpoch.cmake)

run(${CMAKE_COMMAND} --preset ${PLATFORM} -B ${BINARY_DIR}
    -DCMAKE_BUILD_TYPE=Release -DARTPEEL_BUILD_TESTS=OFF
    -DARTPEEL_HARDENING=ON -DARTPEEL_REPRODUCIBLE=ON
    -DARTPEEL_PACKAGE_WINDOWS=OFF -DARTPEEL_PACKAGE_ARM64=OFF)
run(${CMAKE_COMMAND} --build ${BINARY_DIR} --target artpeel)

if(NOT PLATFORM STREQUAL "windows")
  run(${CMAKE_CPACK_COMMAND} -G DEB --config ${BINARY_DIR}/CPackConfig.cmake -B ${PACKAGE_DIR})
  return()
endif()

# The zip is made by Info-ZIP's zip rather than CPack, whose zip (CMake 3.25)
# takes its members' order from the file system's listing and records the
# builder's user and group ids. Here the members are named in a fixed order,
# `-X` leaves out owners and extra time fields, each member's time is
# SOURCE_DATE_EPOCH in UTC and its permissions are set here, whatever the umask.
find_program(ZIP zip)
if(NOT ZIP)
  message(FATAL_ERROR "windows package: zip is not installed (apt-get install zip)")
endif()
include(${BINARY_DIR}/CPackConfig.cmake)
set(name ${CPACK_PACKAGE_FILE_NAME})
set(stage ${BINARY_DIR}/zip)
file(REMOVE_RECURSE ${stage})
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${stage}/${name} --strip)
file(GLOB members RELATIVE ${stage} ${stage}/${name}/*)
list(SORT members)
foreach(member IN LISTS members)
  if(member MATCHES "\\.exe$")
    file(CHMOD ${stage}/${member} PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${stage}/${member} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(TRANSFORM members PREPEND ${stage}/ OUTPUT_VARIABLE paths)
  run(touch --date=@$ENV{SOURCE_DATE_EPOCH} ${paths})
endif()
file(REMOVE ${PACKAGE_DIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${ZIP} -X -D -9 -q ${PACKAGE_DIR}/${name}.zip ${members}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "windows package: zip failed (${status})")
endif()
message(STATUS "windows package: ${PACKAGE_DIR}/${name}.zip")
