#!/usr/bin/env bash
# Reading speed of lumivar_calibrate: lines per second on an enrolled log of LINES lines (default 1000000)
# beside an others log of a tenth of that, both generated here in lumivar_face's own layout (a start-up
# report, then calibration lines with one face in ten rejected by the gate), and its peak memory.
#
#   bash bench/face/bench_calibrate.sh [LINES [RUNS [WINDOW]]]
#     (default 1000000 lines, 3 runs, the runs' confirm_window 10; the median is printed)
#
# A day at 30 faces per second is 2.6 million lines: bash bench/face/bench_calibrate.sh 2600000
# The replay's cost must not grow with the window (lumivar_face takes any up to 2147483647):
#   bash bench/face/bench_calibrate.sh 2600000 3 1000000
# Uses a Release build in $LUMIVAR_BENCH_BUILD_DIR (default build-bench), configured if missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
lines=${1:-1000000}
runs=${2:-3}
window=${3:-10}
build=${LUMIVAR_BENCH_BUILD_DIR:-$top/build-bench}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_SANITIZE=OFF -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target lumivar_calibrate -j "$(nproc)" >/dev/null
program=$build/face/calibrate/lumivar_calibrate

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A log of N calibration lines: distances around CENTRE with a spread of SPREAD, every tenth face too blurry.
make_log() {
  awk -v n="$1" -v centre="$2" -v spread="$3" -v seed="$4" -v window="$window" 'BEGIN {
    srand(seed)
    print "Lumivar face recognition v0.7.0 unknown-rejection hardening"
    print "samples_dir: faces/veyra"
    print "candidate_threshold: 60.000000"
    print "confirmed_threshold: 55.000000"
    print "confirm_window: " window
    print "confirm_min_hits: 5"
    for (i = 1; i <= n; i++) {
      if (i % 10 == 0) {
        printf "calibration frame=%d, confidence=0.000000, label=Unknown, candidate_threshold=60.000000, confirmed_threshold=55.000000, face_size=180x180, sharpness=31.250000, brightness=0.000000, contrast=0.000000, quality=too_blurry, confirmation_hits=4, confirmation_window=10, best_profile_stage=flat, matched_sample=unknown\n", i
      } else {
        d = centre + spread * (rand() + rand() + rand() - 1.5)
        printf "calibration frame=%d, confidence=%f, label=Unknown, candidate_threshold=60.000000, confirmed_threshold=55.000000, face_size=180x180, sharpness=123.470595, brightness=125.563376, contrast=41.529067, quality=accepted, confirmation_hits=5, confirmation_window=10, best_profile_stage=day, matched_sample=day/veyra_%03d.png\n", i, d, i % 200
      }
    }
  }' >"$5"
}

make_log "$lines" 50 12 1 "$work/enrolled.log"
make_log $((lines / 10)) 100 20 2 "$work/others.log"
total=$(cat "$work/enrolled.log" "$work/others.log" | wc -l)
bytes=$(cat "$work/enrolled.log" "$work/others.log" | wc -c)

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "lumivar_calibrate benchmark: $total lines ($((bytes / 1048576)) MB) in two logs, confirm_window $window, $runs runs, median figures"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$work/rows"
for i in $(seq "$runs"); do
  status=0
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$program" --enrolled "$work/enrolled.log" \
    --others "$work/others.log" >"$work/out" || status=$?
  if [ "$status" != 0 ] || ! grep -q '^use: ' "$work/out"; then
    echo "lumivar_calibrate ended with status $status:" >&2
    cat "$work/out" >&2
    exit 1
  fi
  cat "$work/time" >>"$work/rows"
done
wall=$(cut -d' ' -f1 "$work/rows" | median)
cpu=$(awk '{ print $2 + $3 }' "$work/rows" | median)
peak=$(cut -d' ' -f4 "$work/rows" | sort -g | tail -1)
printf '%-14s %10s %10s %14s %16s %16s\n' lines wall_s cpu_s peak_rss_mb lines_per_s lines_per_cpu_s
awk -v n="$total" -v w="$wall" -v c="$cpu" -v p="$peak" 'BEGIN {
  printf "%-14d %10.2f %10.2f %14.1f %16.0f %16.0f\n", n, w, c, p / 1024, n / (w > 0 ? w : 0.01), n / (c > 0 ? c : 0.01)
}'
