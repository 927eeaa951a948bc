# The resources of artpeel.exe (platform/artpeel.rc.in): the application manifest
# that makes the narrow services UTF-8, and the version information shown in the
# file's properties. Everything in them comes from project() and LICENSE, so the
# version is set once, at the top of CMakeLists.txt.
enable_language(RC)

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE ARTPEEL_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright \\(c\\) [0-9, -]+ " "" ARTPEEL_VENDOR "${ARTPEEL_COPYRIGHT}")
# Windows versions have four parts.
set(ARTPEEL_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," ARTPEEL_VERSION_COMMAS "${ARTPEEL_VERSION_QUAD}")

set(ARTPEEL_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/artpeel.manifest)
configure_file(${PROJECT_SOURCE_DIR}/platform/artpeel.manifest.in ${ARTPEEL_MANIFEST} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/platform/artpeel.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/artpeel.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/artpeel.rc PROPERTIES
  OBJECT_DEPENDS ${ARTPEEL_MANIFEST})
target_sources(artpeel PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/artpeel.rc)
if(MSVC)
  # The manifest is already a resource of artpeel.rc: the linker must not embed
  # one of its own beside it.
  target_link_options(artpeel PRIVATE /MANIFEST:NO)
endif()
