# Every face test may drive the programs on the simulated sensor, also where the real
# libfreenect2 is installed: lumivar_face_sim and lumivar_enroll_sim are always built on the stand-in.
file(GLOB face_test_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/face/*/test_*.cpp)
foreach(src ${face_test_sources})
  get_filename_component(name ${src} NAME_WE)
  if(TARGET face_${name})
    target_compile_definitions(face_${name} PRIVATE LUMIVAR_FACE_SIM_BIN="$<TARGET_FILE:lumivar_face_sim>"
      LUMIVAR_ENROLL_SIM_BIN="$<TARGET_FILE:lumivar_enroll_sim>")
    add_dependencies(face_${name} lumivar_face_sim lumivar_enroll_sim)
  endif()
endforeach()

# Tests that call the sensor API or the loop in-process must link the stand-in, never the real library.
if(TARGET face_recognise_sim)
  foreach(t face_test_sim_sensor face_test_recognition_loop face_test_preview)
    if(TARGET ${t})
      set_property(TARGET ${t} PROPERTY LINK_LIBRARIES face_recognise_sim face_enroll_sim face_calibrate
        GTest::gtest GTest::gtest_main GTest::gmock)
    endif()
  endforeach()
endif()
