# One detection at a given scale factor, for bench/face/bench_scale_factor.sh.
add_executable(face_bench_scale_factor_probe ${CMAKE_SOURCE_DIR}/bench/face/scale_factor_probe.cpp)
target_link_libraries(face_bench_scale_factor_probe PRIVATE face_libraries)
