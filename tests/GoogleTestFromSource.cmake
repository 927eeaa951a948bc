# GoogleTest built from Debian's source package (googletest) with this build's
# own compiler and flags, for builds that cannot link Debian's prebuilt
# libgtest: the Windows cross build, and the clang + libc++ build, whose C++
# library differs from the one libgtest was built against.
set(ARTPEEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources to build with the project (Debian package googletest)")
if(NOT EXISTS ${ARTPEEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ARTPEEL_GOOGLETEST_SOURCE}: "
                      "install googletest, or configure with -DARTPEEL_BUILD_TESTS=OFF")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${ARTPEEL_GOOGLETEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest is not held to this project's warning flags.
foreach(gtest_target gtest gtest_main)
  set_property(TARGET ${gtest_target} PROPERTY COMPILE_OPTIONS "")
endforeach()
