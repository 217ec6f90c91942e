# lumivar_calibrate's tests run the program itself.
if(TARGET face_test_calibrate)
  target_compile_definitions(face_test_calibrate PRIVATE LUMIVAR_CALIBRATE_BIN="$<TARGET_FILE:lumivar_calibrate>")
  add_dependencies(face_test_calibrate lumivar_calibrate)
endif()
