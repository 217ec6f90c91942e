#!/usr/bin/env bash
# lumivar_face's loop time per frame on the simulated sensor with and without --liveness (Release build, headless):
# 1920 x 1080 frames with one face, its depth a head-shaped relief at 0.9 m. Target: at most 1.15 times.
# The relief measure and its limit: bench/face/measure_liveness.cpp (face_measure_liveness).
# Usage: bench/face_liveness_fps.sh [frames per run, default 60] [runs, default 3]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}
frames=${1:-60}
runs=${2:-3}
bin=$build/face/recognise/lumivar_face_sim
work=$build/face-liveness-bench

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target lumivar_face_sim lumivar_enroll_sim -j "$(nproc)" >/dev/null
rm -rf "$work"
mkdir -p "$work/one" "$work/depth"

# One 1920 x 1080 frame with the enrolled person, her samples, and a depth picture with a bump where her face is.
/usr/bin/python3 "$top/scripts/make_face_demo.py" "$work/demo" --per-segment 1 >/dev/null 2>&1
cp "$work/demo/frames/frame_0001.jpg" "$work/one/"
(cd "$work/demo" && unset DISPLAY && LUMIVAR_SIM_FRAMES=enrol_frames "$build/face/enroll/lumivar_enroll_sim" \
  --samples-dir samples --count 15 >/dev/null 2>&1)
/usr/bin/python3 - "$work/one/frame_0001.jpg" "$work/depth/frame_0001.png" <<'PY'
import sys
import cv2
import numpy as np
grey = cv2.cvtColor(cv2.imread(sys.argv[1]), cv2.COLOR_BGR2GRAY)
faces = cv2.CascadeClassifier("/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml").detectMultiScale(
    cv2.equalizeHist(grey), 1.1, 4, 0, (60, 60))
depth = np.full(grey.shape, 2000.0)
yy, xx = np.mgrid[0:grey.shape[0], 0:grey.shape[1]]
for (x, y, w, h) in faces:
    r2 = ((xx - x - w / 2) / (0.6 * w)) ** 2 + ((yy - y - h / 2) / (0.8 * h)) ** 2
    depth = np.where(r2 < 1, 900 - 40 * (1 - r2), depth)
cv2.imwrite(sys.argv[2], depth.astype(np.uint16))
PY

# Milliseconds per frame from one run's summary line.
frame_ms() {
  (cd "$work" && unset DISPLAY && LUMIVAR_SIM_FRAMES=$work/one LUMIVAR_SIM_DEPTH=$work/depth LUMIVAR_SIM_LOOP=1 \
    "$bin" --samples-dir demo/samples --model model/face.yml --labels model/labels.txt --frames "$frames" \
    --log-every 100000 "$@") |
    sed -n 's/^summary: frames=[0-9]*, fps=\([0-9.]*\),.*/\1/p' | awk '{ printf "%.2f", 1000 / $1 }'
}

echo "== lumivar_face loop, 1920 x 1080, one face, $frames frames per run, $runs runs each (ms per frame)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
off=(); on=()
for _ in $(seq "$runs"); do
  off+=("$(frame_ms)")
  on+=("$(frame_ms --liveness)")
done
echo "without --liveness: ${off[*]}"
echo "with --liveness:    ${on[*]}"
best() { printf "%s\n" "$@" | sort -g | head -1; }
awk -v a="$(best "${off[@]}")" -v b="$(best "${on[@]}")" \
  'BEGIN { printf "best of each: %.2f ms and %.2f ms, ratio %.3f (target <= 1.15)\n", a, b, b / a }'
(cd "$work" && unset DISPLAY && LUMIVAR_SIM_FRAMES=$work/one LUMIVAR_SIM_DEPTH=$work/depth "$bin" \
  --samples-dir demo/samples --model model/face.yml --labels model/labels.txt --frames 1 --liveness) |
  sed -n 's/^processed frames: 1, .*\(quality: [a-z_]*\).*/check: the face passes with --liveness (\1)/p'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
