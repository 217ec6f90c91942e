# An installed lumivar_face finds a libfreenect2 that lives in a prefix of its own. The test builds the
# program in a Release build of its own (a few minutes on two cores).
add_test(NAME face_installed_program_finds_libfreenect2_in_its_own_prefix
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DCXX_COMPILER=${CMAKE_CXX_COMPILER} -DPHOTO=/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg
          -P ${CMAKE_SOURCE_DIR}/tests/face/sensor/installed_program/check.cmake)
set_tests_properties(face_installed_program_finds_libfreenect2_in_its_own_prefix PROPERTIES LABELS face TIMEOUT 900)
