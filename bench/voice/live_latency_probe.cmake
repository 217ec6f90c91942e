# Latency probe of the live stream (run by bench/voice/bench_live_latency.sh).
add_executable(voice_live_latency_probe ${CMAKE_SOURCE_DIR}/bench/voice/live_latency_probe.cpp)
target_link_libraries(voice_live_latency_probe PRIVATE voice_core)
add_dependencies(voice_live_latency_probe vocrin)
