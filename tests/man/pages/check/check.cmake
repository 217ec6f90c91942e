# Renders PAGE with `man -l` and checks that the NAME line and every line of `PROGRAM --help` are in it,
# the usage line naming the program by its own NAME rather than the path it was run from, and that groff has
# nothing to say about it at 80 columns.
function(squeeze text out)  # white space of any kind and length as one blank
  string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "no manual page: ${PAGE}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C MANWIDTH=4000 ${MAN} -l ${PAGE}
  RESULT_VARIABLE man_status OUTPUT_VARIABLE rendered ERROR_VARIABLE man_errors)
if(NOT man_status EQUAL 0)
  message(FATAL_ERROR "man -l ${PAGE} failed (${man_status}): ${man_errors}")
endif()
squeeze("${rendered}" rendered)

# At 80 columns, as lintian renders it: groff says nothing (no table wider than the line, no line it cannot break).
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80
                        ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z ${PAGE}
  RESULT_VARIABLE narrow_status OUTPUT_QUIET ERROR_VARIABLE groff_messages)
if(NOT narrow_status EQUAL 0 OR NOT groff_messages STREQUAL "")
  message(FATAL_ERROR "man -l ${PAGE} at 80 columns (${narrow_status}):\n${groff_messages}")
endif()
# ... and its synopsis fits them.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C MANWIDTH=80 ${MAN} -l ${PAGE} OUTPUT_VARIABLE narrow)
string(REGEX MATCH "\nSYNOPSIS\n([ \t][^\n]*\n|\n)*" narrow_synopsis "${narrow}")
string(REGEX REPLACE "[][;]" "_" synopsis_lines "${narrow_synopsis}")
string(REGEX MATCHALL "[^\n]+" synopsis_lines "${synopsis_lines}")
set(widest 0)
foreach(line IN LISTS synopsis_lines)
  string(LENGTH "${line}" width)
  if(width GREATER widest)
    set(widest ${width})
  endif()
endforeach()
if(widest EQUAL 0 OR widest GREATER 80)
  message(FATAL_ERROR "${PAGE}: the synopsis does not fit 80 columns (${widest}):${narrow_synopsis}")
endif()

execute_process(COMMAND ${PROGRAM} --help RESULT_VARIABLE help_status OUTPUT_VARIABLE help)
if(NOT help_status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${help_status}")
endif()

# The measurements (bench/) stay in the sources: an installed page must not send its reader there.
if(rendered MATCHES "bench/")
  message(FATAL_ERROR "${PAGE} points to bench/, which is not installed")
endif()

set(expected "NAME ${NAME} - ")
string(REPLACE "\n" ";" help_lines "${help}")
foreach(line IN LISTS help_lines)
  if(line MATCHES "^Usage: [^ ]+( .*)$")
    list(APPEND expected "Usage: ${NAME}${CMAKE_MATCH_1}")
  else()
    list(APPEND expected "${line}")
  endif()
endforeach()

set(missing "")
foreach(line IN LISTS expected)
  squeeze("${line}" line)
  if(NOT line STREQUAL "")
    string(FIND "${rendered}" "${line}" at)
    if(at EQUAL -1)
      string(APPEND missing "\n  ${line}")
    endif()
  endif()
endforeach()
if(NOT missing STREQUAL "")
  message(FATAL_ERROR "${PAGE} does not say:${missing}\nRendered: ${rendered}")
endif()
