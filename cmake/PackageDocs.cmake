# Run by CPack on the staged files before it packs them (CPACK_PRE_BUILD_SCRIPTS).
# Each package gets a changelog entry in its own format, made from the
# CHANGELOG.md heading of this version, so a version without its CHANGELOG.md
# entry cannot be packed: Debian wants it as changelog.gz, rpmbuild takes it
# from CPACK_RPM_CHANGELOG_FILE. Both want the manual page compressed
# (`gzip -9n`, which records no name or time). The plain install (cmake
# --install) is left as it is.
if(NOT CPACK_GENERATOR MATCHES "^(DEB|RPM)$")
  return()
endif()
file(GLOB_RECURSE doc_folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/artpeel")
list(FILTER doc_folders INCLUDE REGEX "/share/doc/artpeel$")
file(GLOB_RECURSE manual_pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man1/*.1")
if(NOT doc_folders OR NOT manual_pages)
  message(FATAL_ERROR "no documents or manual page staged below ${CPACK_TEMPORARY_DIRECTORY}")
endif()

file(STRINGS "${doc_folders}/CHANGELOG.md" heading
     REGEX "^## ${CPACK_PACKAGE_VERSION} - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
if(NOT heading)
  message(FATAL_ERROR "CHANGELOG.md has no heading '## ${CPACK_PACKAGE_VERSION} - YYYY-MM-DD'")
endif()
string(REGEX REPLACE ".* - " "" release_date "${heading}")
function(release_time format variable)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u "${format}" -d "${release_date}"
                  OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(${variable} "${time}" PARENT_SCOPE)
endfunction()
set(entry "Release ${CPACK_PACKAGE_VERSION}; what it changes is listed in CHANGELOG.md.")

find_program(GZIP gzip REQUIRED)
if(CPACK_GENERATOR STREQUAL "RPM")
  release_time("+%a %b %d %Y" release_day)
  file(WRITE "${CPACK_RPM_CHANGELOG_FILE}"
       "* ${release_day} ${CPACK_PACKAGE_CONTACT} - ${CPACK_PACKAGE_VERSION}-${CPACK_RPM_PACKAGE_RELEASE}\n- ${entry}\n")
  foreach(file IN LISTS manual_pages)
    execute_process(COMMAND ${GZIP} -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  # rpmbuild only clamps later times to SOURCE_DATE_EPOCH: a file older than
  # the last commit would keep the time the clone gave it.
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
    execute_process(COMMAND touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH} ${staged}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  return()
endif()

release_time(-R release_time)
file(WRITE "${doc_folders}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * ${entry}

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${release_time}
")

foreach(file IN LISTS manual_pages ITEMS "${doc_folders}/changelog")
  execute_process(COMMAND ${GZIP} -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Written here, the changelog got its permissions from the umask.
file(CHMOD "${doc_folders}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
