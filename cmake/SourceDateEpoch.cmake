# Sets SOURCE_DATE_EPOCH in the environment, when it is not set already, to the
# time of the last commit of the source in ARTPEEL_SOURCE_DIR: the time every
# archive member then carries, so that two builds of one commit agree whenever
# and wherever they run. Included by the packaging scripts; without git or a
# clone, the archives carry the build's time and a warning says so.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', not a count of seconds")
  endif()
  return()
endif()
find_program(ARTPEEL_GIT git)
if(ARTPEEL_GIT)
  execute_process(COMMAND ${ARTPEEL_GIT} -C ${ARTPEEL_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
endif()
if(ARTPEEL_GIT AND status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
  set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
else()
  message(WARNING "No commit time found in ${ARTPEEL_SOURCE_DIR} (not a git clone, or no git): "
                  "the packages carry this build's time. Set SOURCE_DATE_EPOCH to rebuild them "
                  "byte for byte.")
endif()
