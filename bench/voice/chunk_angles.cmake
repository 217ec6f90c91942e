# Live chunk angles with and without the history (run by bench/voice/direction_accuracy.py --live).
add_executable(voice_chunk_angles ${CMAKE_SOURCE_DIR}/bench/voice/chunk_angles.cpp)
target_link_libraries(voice_chunk_angles PRIVATE voice_core)
