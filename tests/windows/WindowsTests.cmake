# The test programs of the Windows build. They cannot run where they are built:
# tests/run_windows_tests.sh runs them under Wine, together with the end-to-end
# tests of the Linux build pointed at artpeel.exe.

add_executable(unit_tests reader_test.cpp)
target_link_libraries(unit_tests PRIVATE artpeel_core GTest::gtest_main)

add_executable(platform_tests platform_test.cpp test_files.cpp)
target_link_libraries(platform_tests PRIVATE artpeel_core GTest::gtest_main)

# Holds a file open without sharing, as another program would, for the tests of
# a cache file or an output file that artpeel cannot open.
add_executable(hold_open windows/hold_open.cpp)
