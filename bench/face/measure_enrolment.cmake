# Measurements behind lumivar_enroll's equalised samples and its change rule (README, "Enrolling").
add_executable(face_measure_enrolment ${CMAKE_SOURCE_DIR}/bench/face/measure_enrolment.cpp)
target_link_libraries(face_measure_enrolment PRIVATE face_libraries)
target_compile_definitions(face_measure_enrolment PRIVATE LUMIVAR_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/.testdata")
