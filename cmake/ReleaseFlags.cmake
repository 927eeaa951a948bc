# Flags of the released builds (the package preset and the builds it makes for
# Windows, arm64 and the static programs): hardened as Debian hardens its
# packages, and free of what depends on where and when the build ran, so that
# two builds of one commit give the same bytes.
option(ARTPEEL_HARDENING "Compile and link with the hardening flags of a release" OFF)
option(ARTPEEL_REPRODUCIBLE "Keep the build's folders and clock out of the binaries" OFF)
option(ARTPEEL_STATIC "Link the program statically, position-independent (static-pie)" OFF)

if(ARTPEEL_HARDENING AND NOT WIN32)
  # Position-independent, so that the program's own code is placed at random too.
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection)
  # Control-flow protection is a feature of the CPU: Intel CET on x86-64,
  # pointer authentication and branch targets on arm64; s390x has none.
  # artpeel's own code is built for it (a landing instruction at each target
  # of an indirect branch, calls and returns a shadow stack can follow), but
  # no mark is forced on the program: the linker marks it only when every
  # object in it is marked, and Debian 12's C start files (Scrt1.o, crti.o,
  # crtn.o) are not; their _init and _fini start without a landing
  # instruction, so a system enforcing a forced IBT mark would end the program
  # at start. Nor is Debian 12's static C library, whose longjmp does not
  # keep a shadow stack. Built there, artpeel carries no mark, as no Debian 12
  # program does, and the CPU enforces neither check for it.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
    add_compile_options(-fcf-protection=full)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    add_compile_options(-mbranch-protection=standard)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

if(ARTPEEL_STATIC AND NOT WIN32)
  # One program for any Linux the C library supports, asking nothing of the
  # system, and still placed at random (static-pie). A static glibc is safe
  # here because artpeel resolves no user, group or host names and converts no
  # character sets: nothing it calls loads the shared NSS or iconv modules a
  # static glibc would need from the system at run time. glibc warns at link
  # time of each function that would; the warnings are errors here.
  # CMake links a position-independent program with -pie, which would undo
  # -static-pie: here -static-pie takes its place.
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_CXX_LINK_OPTIONS_PIE -static-pie)
  add_link_options(LINKER:--fatal-warnings)
endif()

if(ARTPEEL_HARDENING AND WIN32)
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
