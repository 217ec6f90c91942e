# Measurement behind --track's way of following faces (README: lumivar_face --track).
add_executable(face_compare_trackers ${CMAKE_SOURCE_DIR}/bench/face/compare_trackers.cpp)
target_link_libraries(face_compare_trackers PRIVATE face_core)
