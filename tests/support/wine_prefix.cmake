# The wine prefix a cross build's tests run in (cmake -P), made by EMULATOR,
# the command (with its environment) that runs the build's programs:
#   -DSTEP=make  ends the wine server of PREFIX, removes PREFIX and makes it
#                again, so that each test run starts afresh;
#   -DSTEP=end   ends the wine server of PREFIX, so that nothing is left
#                running after the tests.
set(ENV{WINEPREFIX} "${PREFIX}")  # the wine server's
if(EXISTS "${PREFIX}")
  execute_process(COMMAND wineserver -k RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND wineserver -w RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
endif()
if(STEP STREQUAL "make")
  file(REMOVE_RECURSE "${PREFIX}")
  execute_process(COMMAND ${EMULATOR} wineboot --init RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT EXISTS "${PREFIX}/system.reg")
    message(FATAL_ERROR "wineboot could not make the prefix ${PREFIX} (status ${status})")
  endif()
  execute_process(COMMAND wineserver -w)
endif()
