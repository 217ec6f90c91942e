# Each generated manual page renders in a terminal of 80 columns without a message from groff, says everything the
# program's own --help says, and lists every option the program accepts in its SYNOPSIS and OPTIONS sections (and
# the README in its command lines).
if(TARGET lumivar_man_pages)
  find_program(MAN_EXECUTABLE man)
  if(NOT MAN_EXECUTABLE)
    message(WARNING "man not found (Debian: man-db): the manual page test is not registered")
  else()
    set(parsers_vocrin "voice/*.cpp")
    set(parsers_lumivar_face "face/*/*options*.cpp")
    set(parsers_lumivar_enroll "face/*/*options*.cpp")
    set(parsers_lumivar_calibrate "face/*/*options*.cpp")
    set(parsers_lumivar_speaker "speaker/*options*.cpp")
    foreach(program lumivar_face lumivar_enroll lumivar_calibrate vocrin lumivar_speaker)
      add_test(NAME man_page_${program}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
                -DPAGE=${CMAKE_BINARY_DIR}/docs/man/${program}.1 -DMAN=${MAN_EXECUTABLE}
                -P ${CMAKE_CURRENT_LIST_DIR}/check/check.cmake)
      add_test(NAME man_page_options_${program}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
                -DPAGE=${CMAKE_BINARY_DIR}/docs/man/${program}.1 -DMAN=${MAN_EXECUTABLE}
                -DSOURCE_DIR=${CMAKE_SOURCE_DIR} "-DPARSER_SOURCES=${parsers_${program}}" -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}
                -P ${CMAKE_CURRENT_LIST_DIR}/check/options.cmake)
      set_tests_properties(man_page_${program} man_page_options_${program} PROPERTIES LABELS man)
    endforeach()
  endif()
endif()
