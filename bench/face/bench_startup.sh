#!/usr/bin/env bash
# Start-up time of lumivar_face, from launch to "trained and saved model", with 20, 200 and 1000
# samples of 160 x 160 pixels, and its peak memory. A missing cascade ends the run right after
# the model files are written (status 4), so the sensor plays no part.
#
#   bash bench/face/bench_startup.sh [RUNS]      (default 5 runs per size; the median is printed)
#
# Uses a Release build in $LUMIVAR_BENCH_BUILD_DIR (default build-bench), configured if missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-5}
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_SANITIZE=OFF -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target lumivar_face face_bench_make_samples -j "$(nproc)" >/dev/null
program=$build/face/recognise/lumivar_face
make_samples=$build/bench/face_bench_make_samples

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One run: prints "wall cpu peak_kb" and checks that it really got as far as the saved model.
measure() {
  local status=0
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || status=$?
  echo "$status" >"$work/status"
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time"
}

echo "lumivar_face start-up benchmark: $runs runs per size, median figures"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %10s %10s %14s %12s\n' "case" "wall_s" "cpu_s" "peak_rss_mb" "model_mb"

: >"$work/rows"
for i in $(seq "$runs"); do measure "$program" --help >>"$work/rows"; done
printf '%-22s %10s %10s %14s %12s\n' "process start (--help)" \
  "$(cut -d' ' -f1 "$work/rows" | median)" "$(cut -d' ' -f2 "$work/rows" | median)" \
  "$(cut -d' ' -f3 "$work/rows" | sort -g | tail -1 | awk '{ printf "%.1f", $1 / 1024 }')" "-"

for count in 20 200 1000; do
  samples=$work/samples_$count
  "$make_samples" "$count" "$samples"
  : >"$work/rows"
  for i in $(seq "$runs"); do
    measure "$program" --samples-dir "$samples" --model "$work/model_$count/face.yml" \
      --labels "$work/model_$count/labels.txt" --cascade "$work/no-cascade.xml" >>"$work/rows"
    if [ "$(cat "$work/status")" != 4 ] || ! grep -qx 'trained and saved model' "$work/out"; then
      echo "run with $count samples did not reach the saved model (status $(cat "$work/status")):" >&2
      cat "$work/out" "$work/err" >&2
      exit 1
    fi
    if ! grep -qx "loaded Veyra samples: $count" "$work/out"; then
      echo "run with $count samples loaded a different number of samples" >&2
      exit 1
    fi
  done
  printf '%-22s %10s %10s %14s %12s\n' "$count samples" \
    "$(cut -d' ' -f1 "$work/rows" | median)" "$(cut -d' ' -f2 "$work/rows" | median)" \
    "$(cut -d' ' -f3 "$work/rows" | sort -g | tail -1 | awk '{ printf "%.1f", $1 / 1024 }')" \
    "$(stat -c %s "$work/model_$count/face.yml" | awk '{ printf "%.1f", $1 / 1048576 }')"
done
