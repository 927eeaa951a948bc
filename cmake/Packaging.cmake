# Install rules and packages.
#
# `cmake --install` puts the program and its manual page under the prefix. CPack
# turns the same rules into a Debian package when built for Linux and into a zip
# archive when built for Windows. The version is the project's own, set once in
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
  # Debian looks for the licence under this name.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
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

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "artpeel-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ARTPEEL_PACKAGE_MAINTAINER}")
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianDocs.cmake)
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

# The `package` preset builds the Windows zip next to the .deb: a build for
# Windows is configured with the `windows` preset in a folder of its own inside
# this build folder, built, and packed into this build folder.
option(ARTPEEL_PACKAGE_WINDOWS "Also build the Windows zip (needs the windows preset's cross compiler)" OFF)
if(ARTPEEL_PACKAGE_WINDOWS AND NOT WIN32)
  add_custom_target(windows_zip ALL
    COMMAND ${CMAKE_COMMAND}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DBINARY_DIR=${CMAKE_BINARY_DIR}/windows
            -DPACKAGE_DIR=${CMAKE_BINARY_DIR}
            -P ${PROJECT_SOURCE_DIR}/cmake/PackageWindows.cmake
    COMMENT "Building the Windows zip"
    USES_TERMINAL
    VERBATIM)
endif()

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
