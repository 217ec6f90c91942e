#!/usr/bin/env bash
# Installs what is missing, builds and installs both programs, makes the bundled demo inputs
# and runs the main jobs on them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF -DLUMIVAR_BUILD_BENCH=OFF
cmake --build build -j "$(nproc)"
cmake --install build --prefix build/install

# vocrin on the bundled recording: speech reaching the array's channels 0..3 samples apart.
bash scripts/make_demo_recording.sh build/demo
build/install/bin/vocrin --input-wav build/demo/kinect_array_speech.wav

# DEMO STEPS
