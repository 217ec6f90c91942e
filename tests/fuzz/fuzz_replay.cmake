# Each fuzz harness also runs in the test suite, without libFuzzer (tests/fuzz/replay_main.cpp): its
# seeds, then a fixed number of inputs mutated from them, under the test build's sanitizers.
add_executable(fuzz_replay_read_wav ${CMAKE_CURRENT_LIST_DIR}/fuzz_read_wav.cpp ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
target_link_libraries(fuzz_replay_read_wav PRIVATE voice_core)
add_test(NAME voice_fuzz_read_wav_replay COMMAND fuzz_replay_read_wav ${CMAKE_CURRENT_LIST_DIR}/seeds 4000)
set_tests_properties(voice_fuzz_read_wav_replay PROPERTIES LABELS voice)
