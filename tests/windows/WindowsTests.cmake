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

# Starts a program on a new console, as Explorer does, and reads that console
# from outside; beside it a copy named explorer.exe, which artpeel takes for the
# Windows shell.
add_executable(new_console windows/new_console.cpp)
add_custom_command(TARGET new_console POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:new_console> $<TARGET_FILE_DIR:new_console>/explorer.exe)
