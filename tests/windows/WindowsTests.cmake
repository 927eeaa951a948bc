# The test programs of the Windows build. They cannot run where they are built:
# tests/run_windows_tests.sh runs them under Wine, together with the end-to-end
# tests of the Linux build pointed at artpeel.exe.

set(ARTPEEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for Windows (Debian package googletest)")
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

add_executable(unit_tests reader_test.cpp)
target_link_libraries(unit_tests PRIVATE artpeel_core GTest::gtest_main)

add_executable(platform_tests platform_test.cpp test_files.cpp)
target_link_libraries(platform_tests PRIVATE artpeel_core GTest::gtest_main)

# Holds a file open without sharing, as another program would, for the tests of
# a cache file or an output file that artpeel cannot open.
add_executable(hold_open windows/hold_open.cpp)
