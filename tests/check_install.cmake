# Installs a build into a scratch prefix, then checks that each file lands
# where it belongs and, where there is one, that the manual renders
# without a warning.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DFILES=a;b -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file IN LISTS FILES)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
set(manual "${PREFIX}/share/man/man1/framerange.1.gz")
find_program(GROFF groff)
if(GROFF AND EXISTS "${manual}")
  execute_process(COMMAND gzip -dc "${manual}"
    COMMAND "${GROFF}" -ww -z -man
    RESULT_VARIABLE status ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "the manual does not render cleanly: ${warnings}")
  endif()
endif()
