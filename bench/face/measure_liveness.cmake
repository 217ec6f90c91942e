# Measurement behind --liveness-min-relief (README: liveness). Always on the simulated sensor.
if(TARGET face_sensor_sim)
  set(measure_liveness_sensor face_sensor_sim)
else()
  set(measure_liveness_sensor face_sensor)
endif()
add_executable(face_measure_liveness ${CMAKE_SOURCE_DIR}/bench/face/measure_liveness.cpp)
target_link_libraries(face_measure_liveness PRIVATE ${measure_liveness_sensor})
target_include_directories(face_measure_liveness PRIVATE ${CMAKE_SOURCE_DIR}/tests/face)
