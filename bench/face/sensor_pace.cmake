# The simulated sensor alone, taken at its own pace: what its decoding costs the process (README: lumivar_face
# --track).
add_executable(face_sensor_pace ${CMAKE_SOURCE_DIR}/bench/face/sensor_pace.cpp)
target_link_libraries(face_sensor_pace PRIVATE lumivar_sim_freenect2)
