# Installs a build into a scratch prefix, then checks that the tool and its
# manual land where a Unix command's belong and that the manual renders
# without a warning.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DPROGRAM=framerange[.exe] -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file "bin/${PROGRAM}" "share/man/man1/framerange.1")
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND "${GROFF}" -ww -z -man "${PREFIX}/share/man/man1/framerange.1"
    RESULT_VARIABLE status ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "the manual does not render cleanly: ${warnings}")
  endif()
endif()
