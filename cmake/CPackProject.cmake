# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): the archive members'
# time is the last commit's unless SOURCE_DATE_EPOCH says otherwise.
set(ARTPEEL_SOURCE_DIR ${CPACK_ARTPEEL_SOURCE_DIR})
include(${CPACK_ARTPEEL_SOURCE_DIR}/cmake/SourceDateEpoch.cmake)
# A cross build's dependencies are looked up among Debian's cross libraries
# for its architecture.
if(CPACK_ARTPEEL_DEB_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} ${CPACK_ARTPEEL_DEB_HOST_ARCH})
endif()
