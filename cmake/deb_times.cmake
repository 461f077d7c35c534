# Run by cpack on the staged files before it writes the packages (CPACK_PRE_BUILD_SCRIPTS):
# with SOURCE_DATE_EPOCH set, every staged file and folder gets that time. CPack and dpkg-deb
# only lower later times to it, so files copied from the sources (the README, the copyright
# file) would otherwise keep their checkout's times, and two checkouts of one commit would give
# different packages.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  execute_process(
    COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not set the staged files' times to SOURCE_DATE_EPOCH")
  endif()
endif()
