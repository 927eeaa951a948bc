# Run by CPack after it has made a .deb (CPACK_POST_BUILD_SCRIPTS): packs it
# again with dpkg-deb so that its bytes depend on nothing but the files in it,
# then writes SHA256SUMS beside the packages.
#
# CPack already gives the archive members root's owner, a sorted order and the
# time in SOURCE_DATE_EPOCH, but counts the folders' own sizes into
# Installed-Size, and those depend on the file system the build ran on (4 KiB
# each on ext4, less on tmpfs). Here Installed-Size counts the files alone, a
# cross build's dependencies lose the ":<architecture>" that Debian's cross
# libraries name themselves with, and dpkg-deb packs the tree again (sorted,
# owned by root, times clamped to SOURCE_DATE_EPOCH, gzip as before).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(DPKG_DEB dpkg-deb REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "'${command}' failed (${status})")
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
  file(REMOVE_RECURSE ${tree})
  run(${DPKG_DEB} --raw-extract ${deb} ${tree})

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/*)
  list(FILTER files EXCLUDE REGEX "^DEBIAN/")
  set(bytes 0)
  foreach(file IN LISTS files)
    file(SIZE ${tree}/${file} size)
    math(EXPR bytes "${bytes} + ${size}")
  endforeach()
  math(EXPR kibibytes "(${bytes} + 1023) / 1024")

  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${kibibytes}\n" control "${control}")
  string(REGEX MATCH "(^|\n)Architecture: ([^\n]+)" unused "${control}")
  set(architecture ${CMAKE_MATCH_2})
  if(control MATCHES "(^|\n)(Depends: [^\n]+)")
    set(depends ${CMAKE_MATCH_2})
    string(REPLACE ":${architecture}" "" plain_depends "${depends}")
    string(REPLACE "-${architecture}-cross" "" plain_depends "${plain_depends}")
    string(REPLACE "${depends}" "${plain_depends}" control "${control}")
  endif()
  file(WRITE ${tree}/DEBIAN/control "${control}")

  file(REMOVE ${deb})
  run(${DPKG_DEB} --root-owner-group -Zgzip --build ${tree} ${deb})
  file(REMOVE_RECURSE ${tree})
endforeach()

# SHA256SUMS lists every package of this version in the output folder, in the
# format `sha256sum --check` reads. Only the native build writes it: it is
# packed last, after the cross builds that its build step made. CPack copies
# this run's own packages into the output folder after this script; they are
# summed where they are now.
if(CPACK_ARTPEEL_WRITE_CHECKSUMS)
  set(folder ${CPACK_PACKAGE_DIRECTORY})
  file(GLOB earlier ${folder}/${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_*.deb
                     ${folder}/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-*.zip
                     ${folder}/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-linux-*.tar.gz
                     ${folder}/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-*.rpm)
  set(names "")
  foreach(package IN LISTS earlier CPACK_PACKAGE_FILES)
    get_filename_component(name ${package} NAME)
    list(APPEND names ${name})
    set(path_of_${name} ${package})
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(sums "")
  foreach(name IN LISTS names)
    file(SHA256 ${path_of_${name}} sum)
    string(APPEND sums "${sum}  ${name}\n")
  endforeach()
  file(WRITE ${folder}/SHA256SUMS "${sums}")
  message(STATUS "SHA256SUMS: ${names}")
endif()
