# Builds a package for another system from a Linux build folder (the
# <platform>_package targets of the `package` preset). Run as
#   cmake -DPLATFORM=windows|arm64|static|static-arm64 -DSOURCE_DIR=<source>
#         -DBINARY_DIR=<its build> -DPACKAGE_DIR=<out> -P PackageCross.cmake
# The build is configured with the preset of that name (its cross toolchain and
# generator) in BINARY_DIR, as a hardened, reproducible release build without
# the tests, so that the developers' own build/<platform> folder is left
# alone. Windows gets a zip, arm64 a .deb, each static program an RPM and a
# tarball.
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
    -DARTPEEL_PACKAGE_WINDOWS=OFF -DARTPEEL_PACKAGE_ARM64=OFF -DARTPEEL_PACKAGE_STATIC=OFF)
run(${CMAKE_COMMAND} --build ${BINARY_DIR} --target artpeel)

if(PLATFORM STREQUAL "arm64")
  run(${CMAKE_CPACK_COMMAND} -G DEB --config ${BINARY_DIR}/CPackConfig.cmake -B ${PACKAGE_DIR})
  return()
endif()
include(${BINARY_DIR}/CPackConfig.cmake)

# Sets each file's permissions, whatever the umask: 0755 for folders and
# `executable`, 0644 for the rest.
function(set_permissions stage members executable)
  foreach(member IN LISTS members)
    if(member MATCHES "${executable}" OR IS_DIRECTORY ${stage}/${member})
      file(CHMOD ${stage}/${member} PERMISSIONS
           OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD ${stage}/${member} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
endfunction()

if(PLATFORM MATCHES "^static")
  if(NOT CPACK_ARTPEEL_TARBALL_NAME)
    message(FATAL_ERROR "${PLATFORM} package: ${BINARY_DIR} is not a static build")
  endif()
  run(${CMAKE_CPACK_COMMAND} -G RPM --config ${BINARY_DIR}/CPackConfig.cmake -B ${PACKAGE_DIR})
  # The tarball unpacks into one folder holding the program, its manual page,
  # the README and the licence. GNU tar names its members in name order,
  # owned by root, dated SOURCE_DATE_EPOCH, in the plain ustar format, and
  # gzip -n records no name or time of its own.
  set(name ${CPACK_ARTPEEL_TARBALL_NAME})
  set(stage ${BINARY_DIR}/tarball)
  file(REMOVE_RECURSE ${stage})
  run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${stage}/install --strip)
  file(MAKE_DIRECTORY ${stage}/${name})
  file(COPY_FILE ${stage}/install/bin/artpeel ${stage}/${name}/artpeel)
  file(COPY_FILE ${stage}/install/share/man/man1/artpeel.1 ${stage}/${name}/artpeel.1)
  file(COPY_FILE ${SOURCE_DIR}/README.md ${stage}/${name}/README.md)
  file(COPY_FILE ${SOURCE_DIR}/LICENSE ${stage}/${name}/LICENSE)
  set_permissions(${stage} "${name};${name}/artpeel;${name}/artpeel.1;${name}/README.md;${name}/LICENSE"
                  "/artpeel$")
  set(tar_time "")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(tar_time --mtime=@$ENV{SOURCE_DATE_EPOCH})
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
            tar --create --format=ustar --sort=name --owner=0 --group=0 --numeric-owner ${tar_time}
                --directory=${stage} ${name}
    COMMAND gzip -9n
    OUTPUT_FILE ${PACKAGE_DIR}/${name}.tar.gz
    RESULTS_VARIABLE statuses)
  if(NOT statuses STREQUAL "0;0")
    message(FATAL_ERROR "${PLATFORM} package: tar | gzip failed (${statuses})")
  endif()
  message(STATUS "${PLATFORM} package: ${PACKAGE_DIR}/${name}.tar.gz")
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
set(name ${CPACK_PACKAGE_FILE_NAME})
set(stage ${BINARY_DIR}/zip)
file(REMOVE_RECURSE ${stage})
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${stage}/${name} --strip)
file(GLOB members RELATIVE ${stage} ${stage}/${name}/*)
list(SORT members)
set_permissions(${stage} "${members}" "\\.exe$")
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
