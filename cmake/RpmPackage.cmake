# The RPM of a static build (the static and static-arm64 presets), made by
# CPack's RPM generator with rpmbuild (Debian's package rpm). It carries the
# static program, so it installs and runs on any RPM system of its CPU,
# whatever C library that system has: it asks for nothing but rpm itself.
#
# Its bytes depend on the source alone: rpmbuild takes the build time from
# SOURCE_DATE_EPOCH (set by cmake/CPackProject.cmake), every file's time is
# set to it, the build host is a fixed name, the payload is gzip (which every
# rpm reads), and the changelog entry comes from CHANGELOG.md (the times, the
# entry and the compressed manual page are cmake/PackageDocs.cmake's work). None of
# rpmbuild's steps after the install runs: the program is stripped by CPack
# with the strip of its own CPU, and no /usr/lib/.build-id links are added.
#
# The package asks for nothing: rpmbuild's dependency generator would make it
# require rtld(GNU_HASH), a loader the static program never uses. It owns its
# own files and folders, not the folders every system has.
set(CPACK_GENERATOR RPM)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/Multimedia")
# An RPM's summary starts with a capital letter, a Debian description does not.
string(SUBSTRING "${PROJECT_DESCRIPTION}" 0 1 first_letter)
string(SUBSTRING "${PROJECT_DESCRIPTION}" 1 -1 rest)
string(TOUPPER "${first_letter}" first_letter)
set(CPACK_RPM_PACKAGE_SUMMARY "${first_letter}${rest}")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_COMPRESSION_TYPE gzip)
set(CPACK_RPM_SPEC_INSTALL_POST /bin/true)
set(CPACK_RPM_PACKAGE_AUTOREQ no)
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/licenses /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_BINARY_DIR}/rpm-changelog)
string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE
  "%define packager ${ARTPEEL_PACKAGE_MAINTAINER}\n"
  "%define _buildhost reproducible\n"
  "%define use_source_date_epoch_as_buildtime 1\n"
  "%define source_date_epoch_from_changelog 0\n"
  "%define _build_id_links none")
set(CPACK_RPM_USER_FILELIST
  "%doc /usr/${CMAKE_INSTALL_DOCDIR}/README.md"
  "%doc /usr/${CMAKE_INSTALL_DOCDIR}/CHANGELOG.md"
  "%license /usr/${CMAKE_INSTALL_DATAROOTDIR}/licenses/${PROJECT_NAME}/LICENSE")

# The same program, the manual page, the README and the licence also go into
# a tarball of their own (cmake/PackageCross.cmake).
set(CPACK_ARTPEEL_TARBALL_NAME "artpeel-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
