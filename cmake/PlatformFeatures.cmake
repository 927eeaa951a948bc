# Which operating-system services the POSIX layer may use beyond plain POSIX.
# Each Linux fast path is found by a check here and turned on in the code by an
# ARTPEEL_HAVE_* definition; without it the layer falls back to what every POSIX
# system has (macOS and the BSDs included). ARTPEEL_PORTABLE_POSIX turns every
# fast path off, so that the portable layer can be built and tested on Linux.
include(CheckCXXSymbolExists)

option(ARTPEEL_PORTABLE_POSIX "Use plain POSIX only in the POSIX layer, as on macOS and the BSDs" OFF)

set(ARTPEEL_PLATFORM_DEFINITIONS "")
if(NOT WIN32 AND NOT ARTPEEL_PORTABLE_POSIX)
  # symbol, header, definition set when the system has it
  set(artpeel_checks
    "getdents64|dirent.h|ARTPEEL_HAVE_GETDENTS64"
    "MAP_POPULATE|sys/mman.h|ARTPEEL_HAVE_MAP_POPULATE"
    "O_TMPFILE|fcntl.h|ARTPEEL_HAVE_O_TMPFILE"
    "O_PATH|fcntl.h|ARTPEEL_HAVE_O_PATH"
    "posix_fadvise|fcntl.h|ARTPEEL_HAVE_POSIX_FADVISE"
    "RWF_NOWAIT|sys/uio.h|ARTPEEL_HAVE_RWF_NOWAIT"
    "IORING_FEAT_RW_CUR_POS|linux/io_uring.h|ARTPEEL_HAVE_IO_URING"
    "statfs|sys/vfs.h|ARTPEEL_HAVE_STATFS"
    "sendfile|sys/sendfile.h|ARTPEEL_HAVE_SENDFILE"
    "statx|sys/stat.h|ARTPEEL_HAVE_STATX"
    "M_ARENA_MAX|malloc.h|ARTPEEL_HAVE_M_ARENA_MAX"
    "malloc_trim|malloc.h|ARTPEEL_HAVE_MALLOC_TRIM"
    "PR_SET_PDEATHSIG|sys/prctl.h|ARTPEEL_HAVE_PRCTL"
  )
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  set(CMAKE_REQUIRED_QUIET ON)
  foreach(check IN LISTS artpeel_checks)
    string(REPLACE "|" ";" check "${check}")
    list(GET check 0 symbol)
    list(GET check 1 header)
    list(GET check 2 definition)
    check_cxx_symbol_exists(${symbol} ${header} ${definition})
    if(${definition})
      list(APPEND ARTPEEL_PLATFORM_DEFINITIONS ${definition}=1)
    endif()
  endforeach()
  unset(CMAKE_REQUIRED_DEFINITIONS)
  unset(CMAKE_REQUIRED_QUIET)
endif()
# Compile options for the POSIX layer's own sources. A portable build on glibc
# hides the GNU extensions from them (BSD and POSIX services stay visible, as on
# macOS), so that a Linux-only call left outside its ARTPEEL_HAVE_* check fails
# to compile here as it would on macOS or FreeBSD.
set(ARTPEEL_PLATFORM_COMPILE_OPTIONS "")
if(NOT WIN32 AND ARTPEEL_PORTABLE_POSIX AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(ARTPEEL_PLATFORM_COMPILE_OPTIONS -U_GNU_SOURCE -D_DEFAULT_SOURCE)
endif()
if(NOT WIN32)
  message(STATUS "POSIX layer fast paths: ${ARTPEEL_PLATFORM_DEFINITIONS}")
endif()
