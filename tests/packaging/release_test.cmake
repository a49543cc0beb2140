# cmake/release.cmake on changelogs of its own: the version and date it
# takes from the latest entry, and the changelogs it refuses.
#   cmake -DSOURCE=TOP -DWORK=FOLDER -P release_test.cmake
# Each case: the version in the first line | the date of the trailer |
# what it gives ("VERSION DATE"), or "error: " and part of the reason.
set(cases
  "1.0|Mon, 07 Dec 2026 12:00:00 +0000|1.0 2026-12-07"
  "2.10.3|Fri, 1 Mar 2024 08:00:00 +0100|2.10.3 2024-03-01"
  "1.2.3.4|Sun, 31 Oct 2027 23:59:59 -0700|1.2.3.4 2027-10-31"
  "1.0~rc1|Mon, 07 Dec 2026 12:00:00 +0000|error: is not one to four numbers"
  "1.0-1|Mon, 07 Dec 2026 12:00:00 +0000|error: is not one to four numbers"
  "1.0|07 Dec 2026|error: has no date"
  "1.0|Mon, 07 Dez 2026 12:00:00 +0000|error: no month Dez")
file(MAKE_DIRECTORY ${WORK})
set(failures 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 version)
  list(GET parts 1 date)
  list(GET parts 2 expected)
  # An older entry below, whose version and date must not be taken.
  file(WRITE ${WORK}/changelog
    "tovrix-update (${version}) unstable; urgency=medium\n\n  * A release.\n\n"
    " -- Olvane Inc <support@olvane.com>  ${date}\n\n"
    "tovrix-update (0.9) unstable; urgency=medium\n\n  * The one before.\n\n"
    " -- Olvane Inc <support@olvane.com>  Tue, 02 Jan 2024 10:00:00 +0000\n")
  file(WRITE ${WORK}/print.cmake
    "include(${SOURCE}/cmake/release.cmake)\nmessage(\"\${TOVRIX_RELEASE_VERSION} \${TOVRIX_RELEASE_DATE}\")\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DTOVRIX_CHANGELOG=${WORK}/changelog -P ${WORK}/print.cmake
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(STRIP "${err}" err)
  if(expected MATCHES "^error: (.*)")
    string(FIND "${err}" "${CMAKE_MATCH_1}" at)
    if(status EQUAL 0 OR at LESS 0)
      message(SEND_ERROR "${version} / ${date}: not refused with \"${CMAKE_MATCH_1}\": ${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  elseif(NOT status EQUAL 0 OR NOT err STREQUAL expected)
    message(SEND_ERROR "${version} / ${date}: \"${err}\", not \"${expected}\"")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} case(s) failed")
endif()
