# The release, from the latest entry of debian/changelog: the one place the
# version is kept. Sets TOVRIX_RELEASE_VERSION (such as 1.0, for
# project(VERSION)) and TOVRIX_RELEASE_DATE (YYYY-MM-DD, for the AppStream
# metainfo's <releases>). A change of the changelog configures again.
set(_changelog ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_changelog})
file(READ ${_changelog} _entries)
if(NOT _entries MATCHES "^tovrix-update \\(([^)]*)\\)")
  message(FATAL_ERROR "debian/changelog: the first line names no version of tovrix-update")
endif()
set(TOVRIX_RELEASE_VERSION ${CMAKE_MATCH_1})
# project(VERSION) and the Windows version resource take numbers only.
if(NOT TOVRIX_RELEASE_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "debian/changelog: version ${TOVRIX_RELEASE_VERSION} is not one to four numbers, such as 1.2")
endif()
# The entry's trailer: " -- NAME <MAIL>  Mon, 07 Dec 2026 12:00:00 +0000".
if(NOT _entries MATCHES "\n -- [^\n]*  [A-Z][a-z][a-z], ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "debian/changelog: the latest entry has no date")
endif()
set(_day ${CMAKE_MATCH_1})
set(_year ${CMAKE_MATCH_3})
set(_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND _months "${CMAKE_MATCH_2}" _month)
if(_month LESS 0)
  message(FATAL_ERROR "debian/changelog: no month ${CMAKE_MATCH_2}")
endif()
math(EXPR _month "${_month} + 1")
foreach(_part _day _month)
  string(LENGTH "${${_part}}" _digits)
  if(_digits EQUAL 1)
    string(PREPEND ${_part} 0)
  endif()
endforeach()
set(TOVRIX_RELEASE_DATE "${_year}-${_month}-${_day}")
