# Install rules and packages.
#
# `cmake --install` puts the program and its manual page under the prefix. CPack
# turns the same rules into a Debian package when built for Linux, into an RPM
# when the program is linked statically (ARTPEEL_STATIC) and into a zip archive
# when built for Windows. The version is the project's own, set once in
# project() at the top of CMakeLists.txt.
include(GNUInstallDirs)

if(WIN32)
  # The zip unpacks into one folder holding the program, the README and the
  # licence side by side.
  install(TARGETS artpeel RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  install(TARGETS artpeel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/artpeel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(ARTPEEL_STATIC)
    # RPM systems keep licences in a folder of their own.
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/${PROJECT_NAME})
  else()
    # Debian looks for the licence under this name.
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  endif()
endif()

set(ARTPEEL_PACKAGE_MAINTAINER "The artpeel developers <artpeel@example.org>"
    CACHE STRING "Maintainer (name and mail address) written into the packages")

set(CPACK_PACKAGE_NAME artpeel)
set(CPACK_PACKAGE_VENDOR "The artpeel developers")
set(CPACK_PACKAGE_CONTACT "${ARTPEEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Debian shows the description as it stands: lines are kept under 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "artpeel walks every folder below the folders named on its command line,\n"
    "reads each iTunes artwork cache file (.itc2) it finds there and writes\n"
    "every image the file stores to a file of its own in the current\n"
    "directory, reporting file by file and item by item what it found and\n"
    "wrote. Damaged cache files are reported and never read past their end,\n"
    "and a failed write never leaves a partial image behind.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# The packages' bytes depend on the source alone (see cmake/DebianRepack.cmake,
# cmake/RpmPackage.cmake and docs/releases.md): members dated by SOURCE_DATE_EPOCH, or
# else the last commit; folders made with the same permissions whatever the
# umask.
set(CPACK_ARTPEEL_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageDocs.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "artpeel-${PROJECT_VERSION}-win64")
elseif(ARTPEEL_STATIC)
  include(cmake/RpmPackage.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ARTPEEL_PACKAGE_MAINTAINER}")
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianRepack.cmake)
  if(CMAKE_CROSSCOMPILING)
    # Debian's name for the target's architecture (arm64 for aarch64), from the
    # compiler's multiarch triplet; dpkg-shlibdeps is told it too
    # (cmake/CPackProject.cmake).
    execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
      # Without dpkg-dev no .deb can be made anyway; the name is a best guess.
      string(REPLACE aarch64 arm64 CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
    endif()
    set(CPACK_ARTPEEL_DEB_HOST_ARCH ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
    # Debian's cross compilers keep the target's C and C++ runtime in a folder
    # of their own, which dpkg-shlibdeps is not told of otherwise.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_FIND_ROOT_PATH}/lib)
  else()
    # The native build is packed last and lists every package in SHA256SUMS.
    set(CPACK_ARTPEEL_WRITE_CHECKSUMS ON)
  endif()
  # The program needs nothing but the C and C++ runtime; dpkg-shlibdeps (from
  # dpkg-dev) works out the exact versions from the binary.
  find_program(ARTPEEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(ARTPEEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(STATUS "dpkg-shlibdeps not found: the .deb names its runtime dependencies by hand")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()

include(CPack)

# The `package` preset builds the Windows zip, the arm64 .deb and the static
# programs' tarballs and RPMs next to the .deb: each is configured with its own
# preset (windows, arm64, static, static-arm64) in a folder of its own inside
# this build folder, built with the release flags, and packed into this build
# folder (cmake/PackageCross.cmake).
option(ARTPEEL_PACKAGE_WINDOWS "Also build the Windows zip (needs the windows preset's cross compiler and zip)" OFF)
option(ARTPEEL_PACKAGE_ARM64 "Also build the arm64 .deb (needs g++-aarch64-linux-gnu)" OFF)
option(ARTPEEL_PACKAGE_STATIC
       "Also build the static programs' tarballs and RPMs for x86-64 and arm64 (needs g++-aarch64-linux-gnu and rpm)" OFF)
set(platforms "")
if(ARTPEEL_PACKAGE_WINDOWS)
  list(APPEND platforms windows)
endif()
if(ARTPEEL_PACKAGE_ARM64)
  list(APPEND platforms arm64)
endif()
if(ARTPEEL_PACKAGE_STATIC)
  list(APPEND platforms static static-arm64)
endif()
foreach(platform IN LISTS platforms)
  if(NOT CMAKE_CROSSCOMPILING)
    add_custom_target(${platform}_package ALL
      COMMAND ${CMAKE_COMMAND}
              -DPLATFORM=${platform}
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
              -DBINARY_DIR=${CMAKE_BINARY_DIR}/${platform}
              -DPACKAGE_DIR=${CMAKE_BINARY_DIR}
              -P ${PROJECT_SOURCE_DIR}/cmake/PackageCross.cmake
      COMMENT "Building the ${platform} package"
      USES_TERMINAL
      VERBATIM)
  endif()
endforeach()

# The installed layout and the manual page are tested with the rest.
if(ARTPEEL_BUILD_TESTS AND NOT WIN32)
  add_test(NAME install_layout
    COMMAND ${CMAKE_COMMAND}
            -DBUILD_DIR=${CMAKE_BINARY_DIR}
            -DSTAGE_DIR=${CMAKE_BINARY_DIR}/install-check
            -P ${PROJECT_SOURCE_DIR}/tests/install_layout.cmake)
  add_test(NAME man_page
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/man_page_check.sh ${PROJECT_SOURCE_DIR})
endif()
