# Sample generator for bench/face/bench_startup.sh.
add_executable(face_bench_make_samples ${CMAKE_SOURCE_DIR}/bench/face/make_samples.cpp)
target_link_libraries(face_bench_make_samples PRIVATE face_libraries)
