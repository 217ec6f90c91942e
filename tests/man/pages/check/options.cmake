# Every option PROGRAM accepts is in the OPTIONS section of its manual page PAGE (rendered by MAN), and the page has
# the manual's sections. The accepted options come from the program itself: each option word written in its
# option-parsing sources (PARSER_SOURCES: globs such as voice/*.cpp or face/*/*options*.cpp under SOURCE_DIR,
# whatever the files are called there) that the page does not list is given to the program, and the test fails
# unless the program calls it an unknown argument. So an option added to a parser later is checked too.
set(unknown_prefix "Unknown argument: ")
set(probe_dir ${WORK_DIR}/man_options_${NAME})
file(REMOVE_RECURSE ${probe_dir})
file(MAKE_DIRECTORY ${probe_dir})

# PROGRAM WORD then two words no parser knows: an option with a value takes the first, so the second always stops
# the program at its command line, before it records, opens a sensor or writes anything.
function(refused_as_unknown word out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LOGFILE --unset=DISPLAY
                          ${PROGRAM} ${word} --not-an-option-a --not-an-option-b
    WORKING_DIRECTORY ${probe_dir} INPUT_FILE /dev/null TIMEOUT 60
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(status STREQUAL "0" AND NOT word MATCHES "^(-h|--help)$")
    message(FATAL_ERROR "${NAME} ${word} --not-an-option-a --not-an-option-b ended with status 0:\n${output}")
  endif()
  string(FIND "${output}\n" "${unknown_prefix}${word}\n" at)
  if(at EQUAL -1)
    set(${out} FALSE PARENT_SCOPE)
  else()
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

set(globs ${PARSER_SOURCES})
list(TRANSFORM globs PREPEND ${SOURCE_DIR}/)
file(GLOB parser_sources ${globs})
set(candidates "")
foreach(source IN LISTS parser_sources)
  file(READ ${source} text)
  string(REGEX MATCHALL "\"--?[a-z][a-z0-9-]*\"" words "${text}")
  list(APPEND candidates ${words})
endforeach()
list(TRANSFORM candidates REPLACE "\"" "")
list(REMOVE_DUPLICATES candidates)

execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C MANWIDTH=4000 ${MAN} -l ${PAGE}
  RESULT_VARIABLE man_status OUTPUT_VARIABLE rendered ERROR_VARIABLE man_errors)
if(NOT man_status EQUAL 0)
  message(FATAL_ERROR "man -l ${PAGE} failed (${man_status}): ${man_errors}")
endif()

set(problems "")
foreach(section NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" "SEE ALSO")
  if(NOT "\n${rendered}" MATCHES "\n${section}\n")
    string(APPEND problems "\n  no ${section} section")
  endif()
endforeach()
# The OPTIONS section: from its heading to the next heading (a line that starts in the first column).
string(REGEX MATCH "\nOPTIONS\n([ \t][^\n]*\n|\n)*" options_section "${rendered}")
set(listed "")
set(unlisted "")
foreach(word IN LISTS candidates)
  if(" ${options_section} " MATCHES "[^a-z0-9-]${word}[^a-z0-9-]")
    list(APPEND listed ${word})
  else()
    list(APPEND unlisted ${word})
  endif()
endforeach()
list(LENGTH listed listed_count)
if(listed_count LESS 3)
  string(APPEND problems "\n  only '${listed}' of the option words in ${PARSER_SOURCES} are in OPTIONS")
endif()

refused_as_unknown(--not-an-option-at-all probe_works)
if(NOT probe_works)
  message(FATAL_ERROR "${NAME} does not say '${unknown_prefix}WORD' for an unknown option: the probe cannot tell")
endif()
foreach(word IN LISTS unlisted)
  refused_as_unknown(${word} unknown)
  if(NOT unknown)
    string(APPEND problems "\n  ${word} is accepted but not in OPTIONS")
  endif()
endforeach()
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${PAGE}:${problems}\nOPTIONS section:${options_section}")
endif()
message(STATUS "${NAME}: ${listed_count} options in OPTIONS; refused as unknown: ${unlisted}")
