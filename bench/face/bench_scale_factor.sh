#!/usr/bin/env bash
# Time and peak memory of one detection on a 1920 x 1080 frame (default --scale 0.5, the default
# cascade) for --scale-factor values near 1 and far above it: the measurement behind the accepted
# range of --scale-factor. Each factor runs in its own process, bounded to LIMIT_S seconds and
# LIMIT_MB of address space; "limit" in a row means the detection did not finish inside them.
#
#   bash bench/face/bench_scale_factor.sh [LIMIT_S] [LIMIT_MB]     (defaults 120 s, 4096 MB)
#
# Uses a Release build in $LUMIVAR_BENCH_BUILD_DIR (default build-bench), configured if missing;
# the frame is the demo's first frame (scripts/make_face_demo.py).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
limit_s=${1:-120}
limit_mb=${2:-4096}
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_SANITIZE=OFF -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target face_bench_scale_factor_probe -j "$(nproc)" >/dev/null
probe=$build/bench/face_bench_scale_factor_probe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$top/scripts/make_face_demo.py" "$work/demo" --per-segment 1 >/dev/null 2>&1
frame=$work/demo/frames/frame_0001.jpg

echo "one detection, 1920 x 1080 frame reduced to 960 x 540; limits ${limit_s} s, ${limit_mb} MB"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
# Peak resident memory (VmHWM) of a running process, in MB; sampled, so a killed run still has one.
peak_mb() { awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || true; }

printf '%-14s %8s %10s %14s\n' "scale_factor" "faces" "seconds" "peak_rss_mb"
for factor in 1.0000000001 1.0001 1.001 1.002 1.005 1.01 1.02 1.05 1.1 1.5 2 10 100 1000 1e6 1e7 8e7 9e7 1e8 1e300; do
  ( ulimit -v $((limit_mb * 1024)); exec "$probe" "$frame" "$factor" ) >"$work/out" 2>"$work/err" &
  pid=$!
  peak=0
  waited=0
  while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt $((limit_s * 10)) ]; do
    now=$(peak_mb "$pid")
    [ -n "$now" ] && [ "$now" -gt "$peak" ] && peak=$now
    sleep 0.1
    waited=$((waited + 1))
  done
  status=0
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    { wait "$pid"; } 2>/dev/null || true
    status=timeout
  else
    { wait "$pid"; } 2>/dev/null || status=$?
  fi
  if [ "$status" = 0 ]; then
    faces=$(sed -n 's/^faces=\([0-9]*\).*/\1/p' "$work/out")
    seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/out")
  elif [ "$status" = timeout ]; then
    faces=limit
    seconds=">$limit_s"
  else
    faces=limit
    seconds="(memory)"
  fi
  printf '%-14s %8s %10s %14s\n' "$factor" "$faces" "$seconds" "$peak"
done 2>/dev/null  # the shell's own notice of each probe that ran out of memory
