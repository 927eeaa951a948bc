# Installs the build in BUILD_DIR into STAGE_DIR and checks that exactly the
# expected files land there: the program, its manual page and its documents,
# and nothing else (no helper tools, no test programs).
#   cmake -DBUILD_DIR=<build> -DSTAGE_DIR=<scratch folder> -P install_layout.cmake
file(REMOVE_RECURSE ${STAGE_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE_DIR}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${STAGE_DIR} ${STAGE_DIR}/*)
list(SORT installed)
set(expected
  bin/artpeel
  share/doc/artpeel/CHANGELOG.md
  share/doc/artpeel/README.md
  share/doc/artpeel/copyright
  share/man/man1/artpeel.1)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed files:\n  ${installed}\nexpected:\n  ${expected}")
endif()

# The installed program runs: without a folder it prints its usage text.
execute_process(COMMAND ${STAGE_DIR}/bin/artpeel OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT usage MATCHES "^usage: .*artpeel iTunesFolder")
  message(FATAL_ERROR "installed artpeel: status ${status}, output '${usage}'")
endif()
file(REMOVE_RECURSE ${STAGE_DIR})
