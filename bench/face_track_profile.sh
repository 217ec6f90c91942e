#!/usr/bin/env bash
# Where the time of lumivar_face --track goes at the sensor's pace: `perf record` (DWARF call graphs) of one run
# on the walk of bench/face_track_fps.sh (run that first: it builds the program and writes the stream), with
# LUMIVAR_SIM_REALTIME=1 at 30 fps. Prints the CPU of each thread and of each step, as a share of the process's
# CPU and in ms per processed frame (a step's time includes what it calls; the simulated sensor makes its 30
# frames a second whether or not the loop takes them, so its ms per processed frame grow when frames are missed).
# Usage: bench/face_track_profile.sh [frames, default 240] [program, default build-bench's lumivar_face_sim]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}
frames=${1:-240}
bin=${2:-$build/face/recognise/lumivar_face_sim}
work=$build/face-track-bench
[ -d "$work/walk" ] || { echo "run bench/face_track_fps.sh first" >&2; exit 1; }
command -v perf >/dev/null || { echo "perf is not installed" >&2; exit 1; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
(cd "$work" && unset DISPLAY && LUMIVAR_SIM_FRAMES="$work/walk" LUMIVAR_SIM_REALTIME=1 LUMIVAR_SIM_LOOP=1 \
  perf record -q -F 400 --call-graph dwarf,16384 -o runs/profile.data -- "$bin" --samples-dir demo/samples \
  --model model/face.yml --labels model/labels.txt --frames "$frames" --log-every 100000 --track >runs/profile.out)
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
grep '^summary: ' "$work/runs/profile.out" | cut -d, -f1-2
perf report -i "$work/runs/profile.data" --no-children --sort comm -g none --stdio 2>/dev/null >"$work/runs/profile.threads"
perf report -i "$work/runs/profile.data" --children --sort sym -g none --stdio 2>/dev/null >"$work/runs/profile.steps"

/usr/bin/python3 - "$work/runs" <<'PY'
import os, re, sys
runs = sys.argv[1]
frames = int(re.search(r"^summary: frames=(\d+)", open(os.path.join(runs, "profile.out")).read(), re.M).group(1))
threads_report = open(os.path.join(runs, "profile.threads")).read()
event = re.search(r"of event '([^']*)'\n# Event count \(approx.\): (\d+)", threads_report)
cpu_ms = int(event.group(2)) / 1e6 if event.group(1).startswith("cpu-clock") else None  # nanoseconds
def shares(name, pattern):
    found = {}
    for text in open(os.path.join(runs, name)):
        m = re.match(pattern, text)
        if m: found.setdefault(m.group(2).strip(), float(m.group(1)))
    return found
threads = shares("profile.threads", r"\s+([\d.]+)%\s+(\S.*)$")
steps = shares("profile.steps", r"\s+([\d.]+)%\s+[\d.]+%\s+\[.\]\s+(.*)$")
def line(what, share):
    per_frame = " %6.2f ms a frame" % (share / 100 * cpu_ms / frames) if cpu_ms else ""
    print("  %-62s %5.1f %%%s" % (what, share, per_frame))
print("%d frames processed%s" % (frames, ", %.1f s of CPU" % (cpu_ms / 1000) if cpu_ms else ""))
print("threads (lumivar_face_si: the loop, and OpenCV's workers if any):")
for name, share in threads.items(): line(name, share)
print("steps (a step includes what it calls):")
s = lambda *names: sum(steps.get(n, 0.0) for n in names)
image_steps = s("detection_image", "changed_areas", "change_cells", "picture_changes")
for what, share in (
        ("sensor: read and decode the pictures", s("libfreenect2::sim::next_picture")),
        ("sensor: make the 4-byte frames", s("libfreenect2::sim::make_colour_frame")),
        ("convert to colour and grey", s("convert_frame")),
        ("half-size equalised image", s("detection_image")),
        ("change search: reduced images and their comparison", s("changed_areas", "change_cells", "picture_changes")),
        ("cascade on the loop's thread (close and change searches, the first frame's scan)",
         s("track_faces") - image_steps),
        ("full scans (second thread)", s("(anonymous namespace)::scan_loop")),
        ("gate, identity and overlay", s("handle_faces")),
        ("  of which the identity decision", s("decide_identity")),
        ("frame texts", s("draw_frame_texts"))):
    line(what, share)
PY
