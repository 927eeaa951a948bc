# Flags of the released builds (the package preset and the builds it makes for
# Windows and arm64): hardened as Debian hardens its packages, and free of what
# depends on where and when the build ran, so that two builds of one commit
# give the same bytes.
option(ARTPEEL_HARDENING "Compile and link with the hardening flags of a release" OFF)
option(ARTPEEL_REPRODUCIBLE "Keep the build's folders and clock out of the binaries" OFF)

if(ARTPEEL_HARDENING AND NOT WIN32)
  # Position-independent, so that the program's own code is placed at random too.
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection)
  # Control-flow protection is a feature of the CPU: Intel CET on x86-64,
  # pointer authentication and branch targets on arm64; s390x has none.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
    add_compile_options(-fcf-protection=full)
    # The linker marks a program CET-ready (IBT, SHSTK) only when every object
    # in it is, and Debian 12's C start files (Scrt1.o, crti.o) are not, so
    # no program there has the mark (/bin/ls neither). It is asked for here:
    # artpeel's code and gcc's start files are built for CET. What the
    # mark overstates is _init and _fini of crti.o, which start without the
    # landing instruction an indirect call needs under IBT; no Linux kernel
    # enforces IBT for programs, and no Debian 12 library is marked, so the
    # loader of Debian 12 never turns CET on for the process. On arm64 no mark
    # is forced: Linux enforces BTI there, and the same start files would fault.
    add_link_options(LINKER:-z,ibt LINKER:-z,shstk)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    add_compile_options(-mbranch-protection=standard)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
elseif(ARTPEEL_HARDENING AND WIN32)
  # Address-space layout randomisation with 64-bit entropy, and no code run
  # from data pages. Current binutils set these by default; asking keeps them.
  add_link_options(LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
endif()

if(ARTPEEL_REPRODUCIBLE)
  # Paths the compiler writes into the objects (file names of assertions,
  # debug information) are relative to the source and build folders.
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                        -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
  endif()
  # A PE header's time stamp is the link's clock unless told otherwise; 0 says
  # "none".
  if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_link_options(LINKER:--no-insert-timestamp)
  endif()
endif()
