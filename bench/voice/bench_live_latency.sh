#!/usr/bin/env bash
# Latency of the live stream from the capture pipe to the PCM output, without arecord's own
# buffering: a stand-in arecord on PATH feeds vocrin's capture pipe from a FIFO, chunk by chunk.
#
#   bash bench/voice/bench_live_latency.sh [BUILD_DIR] [CHUNKS]
#
# BUILD_DIR defaults to build-bench (configured here in Release when missing).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build-bench}
chunks=${2:-500}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target vocrin voice_live_latency_probe -j "$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$top/scripts/make_demo_recording.sh" "$work" >/dev/null
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/voice_live_latency_probe" "$build/voice/vocrin" "$work/kinect_array_speech.wav" "$chunks"
