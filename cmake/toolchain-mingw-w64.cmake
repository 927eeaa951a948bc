# Cross-compiles artpeel for 64-bit Windows with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-x86-64-posix). Everything is linked statically, so
# artpeel.exe and the test programs need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ARTPEEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ARTPEEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARTPEEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ARTPEEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ARTPEEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
