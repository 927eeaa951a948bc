# Cross-compiles artpeel for IBM Z Linux (s390x), a big-endian CPU, with Debian's cross
# compiler (package g++-s390x-linux-gnu). The result runs on an IBM Z machine,
# or here under qemu-user (package qemu-user) with the sysroot below:
#   qemu-s390x -L /usr/s390x-linux-gnu build/s390x/artpeel
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(ARTPEEL_CROSS_TRIPLET s390x-linux-gnu)
set(CMAKE_CXX_COMPILER ${ARTPEEL_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${ARTPEEL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
