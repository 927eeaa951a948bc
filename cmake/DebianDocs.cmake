# Run by CPack on the staged files before it packs them (CPACK_PRE_BUILD_SCRIPTS).
# Debian wants the manual page compressed with `gzip -9n` and a changelog in its
# own format as changelog.gz; the plain install (cmake --install) is left as it
# is. The changelog entry is made from the CHANGELOG.md heading of this version,
# so a version without its CHANGELOG.md entry cannot be packed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(GZIP gzip REQUIRED)
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
execute_process(COMMAND date -u -R -d "${release_date}"
                OUTPUT_VARIABLE release_time OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE "${doc_folders}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}; what it changes is listed in CHANGELOG.md.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${release_time}
")

foreach(file IN LISTS manual_pages ITEMS "${doc_folders}/changelog")
  execute_process(COMMAND ${GZIP} -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Written here, the changelog got its permissions from the umask.
file(CHMOD "${doc_folders}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
