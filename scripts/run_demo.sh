#!/usr/bin/env bash
# Installs what is missing, builds and installs the programs, makes the bundled demo inputs
# and runs the main jobs on them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF -DLUMIVAR_BUILD_BENCH=OFF
cmake --build build -j "$(nproc)"
cmake --install build --prefix build/install
# The Debian package of this build: sudo apt install ./build/package/lumivar_*.deb
cpack -G DEB --config build/CPackConfig.cmake -B build/package

# vocrin on the bundled recording: speech reaching the array's channels 0..3 samples apart.
bash scripts/make_demo_recording.sh build/demo
build/install/bin/vocrin --input-wav build/demo/kinect_array_speech.wav

# Face: enrol, then recognise, both on the simulated sensor with frames made from public-domain photos.
# lumivar_enroll saves the enrolled person's samples from frames of her moving in front of the sensor;
# lumivar_face then sees her alone (reaches ConfirmedVeyra), another person alone (stays Unknown), then
# both together. Without a display the runs go on without the preview window.
/usr/bin/python3 scripts/make_face_demo.py build/demo/face
bin=$top/build/install/bin
enroll_bin=$bin/lumivar_enroll
face_bin=$bin/lumivar_face
# Where the real libfreenect2 is installed, the simulated-sensor builds are installed beside it.
if [ -x "$bin/lumivar_enroll_sim" ]; then enroll_bin=$bin/lumivar_enroll_sim; fi
if [ -x "$bin/lumivar_face_sim" ]; then face_bin=$bin/lumivar_face_sim; fi
rm -rf build/demo/face/samples  # a second enrolment would add to the first
(cd build/demo/face && LUMIVAR_SIM_FRAMES=enrol_frames LOGFILE=enrol_run.log "$enroll_bin" \
  --samples-dir samples --count 15)
(cd build/demo/face && LUMIVAR_SIM_FRAMES=frames LOGFILE=face_run.log "$face_bin" \
  --samples-dir samples --frames 36 --log-every 1)
# The same frames with the depth check: the demo's depth pictures give each face the relief of a live head.
(cd build/demo/face && LUMIVAR_SIM_FRAMES=frames LUMIVAR_SIM_DEPTH=depth LOGFILE=face_liveness_run.log "$face_bin" \
  --samples-dir samples --frames 36 --log-every 12 --liveness)

# lumivar_calibrate on the demo's own runs: the frames of the enrolled person alone and of the other person
# alone, each run with --calibration-log, are the two groups; it recommends thresholds and draws both.
(cd build/demo/face && rm -rf calibrate && mkdir -p calibrate/enrolled calibrate/others &&
  cp frames/frame_00{01..12}.jpg calibrate/enrolled/ && cp frames/frame_00{13..24}.jpg calibrate/others/ &&
  LUMIVAR_SIM_FRAMES=calibrate/enrolled LOGFILE=calibrate/enrolled.log "$face_bin" --samples-dir samples \
    --frames 12 --calibration-log >/dev/null &&
  LUMIVAR_SIM_FRAMES=calibrate/others LOGFILE=calibrate/others.log "$face_bin" --samples-dir samples \
    --frames 12 --calibration-log >/dev/null &&
  "$top/build/install/bin/lumivar_calibrate" --enrolled calibrate/enrolled.log --others calibrate/others.log \
    --plot calibrate/distances.png)
