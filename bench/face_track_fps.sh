#!/usr/bin/env bash
# lumivar_face with and without --track on the simulated sensor (Release build, headless): a 1920 x 1080 stream in
# which the enrolled person walks across a textured background, 4 pixels a frame, and a stranger appears
# half-way (bench/face/make_walk_stream.py). Side by side:
#  - fps as fast as the loop asks, and their ratio; with LUMIVAR_SIM_REALTIME=1 at 30 fps, the share of the
#    sensor's frames processed;
#  - the share of frames in which --track finds every real face per-frame detection finds, leaving out the
#    frames in which a new face is being picked up, and how many frames that pick-up takes, against
#    cv::DetectionBasedTracker (bench/face/compare_trackers.cpp, the loop's own detection and tracking calls);
#  - confirmations of the enrolled person;
#  - CPU time per processed frame, also with --liveness --track;
#  - at the sensor's pace (LUMIVAR_SIM_REALTIME=1, 30 fps, the stream served again and again for REALTIME_FRAMES
#    processed frames): the share of the sensor's frames processed and the process's user and system time over
#    its wall time (the simulated sensor's decoding, on its own thread, included), for --track alone, with
#    another process keeping one core busy, and with --liveness.
# Usage: bench/face_track_fps.sh [frames, default 240] [REALTIME_FRAMES, default 900]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}
frames=${1:-240}
realtime_frames=${2:-900}
bin=$build/face/recognise/lumivar_face_sim
work=$build/face-track-bench

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target lumivar_face_sim lumivar_enroll_sim face_compare_trackers -j "$(nproc)" >/dev/null
rm -rf "$work"
mkdir -p "$work/depth" "$work/runs"

# The enrolled person's samples, as in bench/face_loop_fps.sh, and the walk.
/usr/bin/python3 "$top/scripts/make_face_demo.py" "$work/demo" --per-segment 1 >/dev/null 2>&1
(cd "$work/demo" && unset DISPLAY && LUMIVAR_SIM_FRAMES=enrol_frames "$build/face/enroll/lumivar_enroll_sim" \
  --samples-dir samples --count 15 >/dev/null 2>&1)
/usr/bin/python3 "$top/bench/face/make_walk_stream.py" "$work/walk" "$frames" "$work/truth.txt" 2>/dev/null
# For --liveness: a wall 1.2 m away behind every frame (faces are then flat; the check costs the same).
/usr/bin/python3 -c "import cv2, numpy; cv2.imwrite('$work/depth/wall.png', numpy.full((1080, 1920), 1200, numpy.uint16))"
for f in "$work"/walk/*.jpg; do ln -s wall.png "$work/depth/$(basename "$f" .jpg).png"; done

# One run: NAME, then environment assignments and options; output in runs/NAME.out, wall, user and system seconds
# in runs/NAME.cpu, the load average before it in runs/NAME.load. FRAMES=N (default: the stream's length) limits
# the frames processed.
run() {
  local name=$1
  shift
  local env=() opts=() limit=$frames
  for a in "$@"; do
    if [[ $a == FRAMES=* ]]; then limit=${a#FRAMES=}; elif [[ $a == *=* ]]; then env+=("$a"); else opts+=("$a"); fi
  done
  cut -d' ' -f1 /proc/loadavg >"$work/runs/$name.load"
  (cd "$work" && unset DISPLAY && env LUMIVAR_SIM_FRAMES="$work/walk" LUMIVAR_SIM_DEPTH="$work/depth" "${env[@]}" \
    /usr/bin/time -f "%e %U %S" -o "runs/$name.cpu" "$bin" --samples-dir demo/samples --model model/face.yml \
    --labels model/labels.txt --frames "$limit" --log-every 100000 "${opts[@]}" >"runs/$name.out")
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== Following faces: per-frame detection, --track and cv::DetectionBasedTracker on the same frames"
"$build/bench/face_compare_trackers" "$work/walk" "$work/truth.txt"
echo "== The whole program"
run plain
run track --track
# At the sensor's pace the stream is served again and again, so a slow loop is not cut short by its end.
run plain_30fps LUMIVAR_SIM_REALTIME=1 LUMIVAR_SIM_LOOP=1
run liveness_track --liveness --track
realtime=(LUMIVAR_SIM_REALTIME=1 LUMIVAR_SIM_LOOP=1 FRAMES="$realtime_frames")
run track_30fps "${realtime[@]}" --track
run liveness_track_30fps "${realtime[@]}" --liveness --track
# Another program keeping one core busy.
yes >/dev/null &
busy=$!
trap 'kill "$busy" 2>/dev/null' EXIT
run track_30fps_busy "${realtime[@]}" --track
kill "$busy"
trap - EXIT
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

/usr/bin/python3 - "$work/runs" "$frames" <<'PY'
import os, re, sys
runs, frames = sys.argv[1], int(sys.argv[2])

def read(name):
    out = open(os.path.join(runs, name + ".out")).read()
    summary = re.search(r"^summary: (.*)$", out, re.M).group(1)
    fields = dict(p.split("=", 1) for p in summary.split(", "))
    wall, user, system = map(float, open(os.path.join(runs, name + ".cpu")).read().split()[-3:])
    load = open(os.path.join(runs, name + ".load")).read().strip()
    return {"fields": fields, "cpu": user + system, "wall": wall, "frames": int(fields["frames"]), "load": load}

names = ("plain", "track", "plain_30fps", "liveness_track", "track_30fps", "liveness_track_30fps", "track_30fps_busy")
r = {n: read(n) for n in names}

for name in names:
    x = r[name]
    print("%-20s frames=%4d fps=%8.2f  cpu per frame %7.1f ms  cores %.2f  confirmed=%s  (load before %s)" % (
        name, x["frames"], float(x["fields"]["fps"]), 1000 * x["cpu"] / max(x["frames"], 1), x["cpu"] / x["wall"],
        x["fields"]["confirmed_veyra_predictions"], x["load"]))
print("fps ratio, --track / per-frame, as fast as the loop asks: %.1f" %
      (float(r["track"]["fields"]["fps"]) / float(r["plain"]["fields"]["fps"])))
share = lambda n: 100.0 * min(1.0, float(r[n]["fields"]["fps"]) / 30)
print("share of the sensor's frames processed at 30 fps: per-frame %.1f %%" % share("plain_30fps"))
for name, what in (("track_30fps", "--track"), ("track_30fps_busy", "--track, one core busy"),
                   ("liveness_track_30fps", "--track --liveness")):
    print("  %-24s %5.1f %% of the frames, %.2f of a core (user + system over wall)" % (
        what, share(name), r[name]["cpu"] / r[name]["wall"]))
print("confirmations of the enrolled person: --track %s, per-frame %s (%.0f %%)" % (
    r["track"]["fields"]["confirmed_veyra_predictions"], r["plain"]["fields"]["confirmed_veyra_predictions"],
    100.0 * int(r["track"]["fields"]["confirmed_veyra_predictions"]) /
    max(1, int(r["plain"]["fields"]["confirmed_veyra_predictions"]))))
PY
