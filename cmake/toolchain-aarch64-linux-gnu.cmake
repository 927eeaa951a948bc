# Cross-compiles artpeel for 64-bit ARM Linux (arm64) with Debian's cross
# compiler (package g++-aarch64-linux-gnu). The result runs on an arm64 machine,
# or here under qemu-user (package qemu-user) with the sysroot below:
#   qemu-aarch64 -L /usr/aarch64-linux-gnu build/arm64/artpeel
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ARTPEEL_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER ${ARTPEEL_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${ARTPEEL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
