#!/usr/bin/env bash
# End-to-end batch throughput of `vocrin --input-wav` on a 60-second 4-channel 32-bit capture,
# as a multiple of real time, and the run's peak memory (maximum resident set size); then the
# same file through numpy_peer.py, the analysis as a user would write it in numpy, timed in
# alternation with vocrin as whole processes.
#
#   bash bench/voice/bench_batch.sh [VOCRIN] [RUNS] [PAIRS]
#   VOCRIN_ARGS="--mic-positions -0.113,0.036,0.076,0.113" bash bench/voice/bench_batch.sh
#
# VOCRIN defaults to build-bench/voice/vocrin, (re)built here in Release. The input is the
# bundled recording (scripts/make_demo_recording.sh) looped to 60 s. Targets: >= 200x real time;
# vocrin's median wall time at most a tenth of the numpy peer's, over PAIRS (default 9) pairs.
set -euo pipefail
export LC_ALL=C  # a decimal point in the times and in awk
top=$(cd "$(dirname "$0")/../.." && pwd)
vocrin=${1:-}
runs=${2:-5}
pairs=${3:-9}
seconds=60
python=/usr/bin/python3  # Debian's, with python3-numpy
peer=$top/bench/voice/numpy_peer.py
read -r -a extra <<< "${VOCRIN_ARGS:-}"  # options added to every vocrin run

if [ -z "$vocrin" ]; then
    if [ ! -f "$top/build-bench/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$top/build-bench" --target vocrin -j "$(nproc)" >/dev/null
    vocrin=$top/build-bench/voice/vocrin
fi
if ! "$python" -c 'import numpy' 2>/dev/null; then
    echo "$0: $python cannot import numpy; run scripts/setup.sh (python3-numpy)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$top/scripts/make_demo_recording.sh" "$work" >/dev/null
# Loop the recording to 60 s; -t wavpcm keeps a plain PCM header (tag 1) for 4 x 32 bits.
sox -D "$work/kinect_array_speech.wav" -t wavpcm "$work/long.wav" repeat 9
sox -D "$work/long.wav" -t wavpcm "$work/capture60.wav" trim 0 "${seconds}"
frames=$(soxi -s "$work/capture60.wav")
echo "input: $frames frames, 4 channels, 32-bit, 16000 Hz ($(awk -v f="$frames" 'BEGIN{printf "%.1f", f/16000}') s)"

run_vocrin() {
    "$vocrin" --input-wav "$work/capture60.wav" --beamformed "$work/beam.wav" --event "$work/event.json" \
        --log "$work/run.log" "${extra[@]}" >/dev/null
}

# As a user's numpy runs: without the OpenBLAS core and cache overrides some machines set.
run_peer() {
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$peer" "$work/capture60.wav" "$work/peer.wav" \
        "$work/peer.json"
}

best=""
for run in $(seq "$runs"); do
    /usr/bin/time -v -o "$work/time.txt" "$vocrin" --input-wav "$work/capture60.wav" \
        --beamformed "$work/beam.wav" --event "$work/event.json" --log "$work/run.log" "${extra[@]}" >/dev/null
    elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/{n=split($2,p,":"); s=0; for(i=1;i<=n;i++) s=s*60+p[i]; print s}' "$work/time.txt")
    cpu=$(awk -F': ' '/User time|System time/{s+=$2} END{print s}' "$work/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/{print $2}' "$work/time.txt")
    factor=$(awk -v f="$frames" -v e="$elapsed" 'BEGIN{ if (e <= 0) e = 0.005; printf "%.0f", f/16000/e }')
    echo "run $run: wall ${elapsed} s (${factor}x real time), cpu ${cpu} s, peak RSS ${rss} kB"
    if [ -z "$best" ] || awk -v a="$elapsed" -v b="$best" 'BEGIN{exit !(a < b)}'; then best=$elapsed; best_cpu=$cpu; best_rss=$rss; fi
done
grep -E '^(direction_angle_degrees|direction_lag_samples_ch0_to_ch3|beamforming_lags): ' "$work/run.log"
# On a shared machine the wall clock includes waiting for a core; the CPU time (user + system) does not.
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v f="$frames" -v e="$best" -v c="$best_cpu" -v r="$best_rss" 'BEGIN{ if (c <= 0) c = 0.005;
    printf "best run: wall %.3f s for %.1f s of audio = %.0fx real time (target >= 200x); cpu %.3f s = %.0fx; peak RSS %.1f MB\n",
           e, f/16000, f/16000/e, c, f/16000/c, r/1024 }'

# Paired with the numpy peer: one warm-up run each, then vocrin and the peer in turn, so that
# both see the same machine load. Bash's `time` gives each whole process's wall clock and its
# CPU time (user + system) to the millisecond.
echo "paired with the numpy peer ($("$python" -c 'import numpy; print("numpy", numpy.__version__)')), $pairs pairs:"
run_vocrin
run_peer
TIMEFORMAT='%3R %3U %3S'
: >"$work/pairs.txt"
for pair in $(seq "$pairs"); do
    { time run_vocrin; } 2>"$work/vocrin.time"
    { time run_peer; } 2>"$work/peer.time"
    read -r wall_v user_v sys_v <"$work/vocrin.time"
    read -r wall_p user_p sys_p <"$work/peer.time"
    awk -v a="$wall_v" -v b="$user_v" -v c="$sys_v" -v d="$wall_p" -v e="$user_p" -v f="$sys_p" \
        'BEGIN{ print a, b + c, d, e + f }' >>"$work/pairs.txt"
    echo "pair $pair: vocrin wall $wall_v s (cpu $user_v + $sys_v s), numpy wall $wall_p s (cpu $user_p + $sys_p s)"
done
echo "numpy peer: outer lag $(jq -c .outer_lag "$work/peer.json"), beam lags $(jq -c .beam_lags "$work/peer.json")"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
awk 'function median(v, n,   i, j, t) {
         for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j-1] > v[j]; j--) { t = v[j]; v[j] = v[j-1]; v[j-1] = t }
         return n % 2 ? v[(n+1)/2] : (v[n/2] + v[n/2+1]) / 2 }
     { wv[NR] = $1; cv[NR] = $2; wp[NR] = $3; cp[NR] = $4 }
     END { a = median(wv, NR); b = median(wp, NR); c = median(cv, NR); d = median(cp, NR)
           printf "median of %d pairs, wall: vocrin %.3f s, numpy peer %.3f s; vocrin takes %.3f of the peer'"'"'s time (target <= 0.100)\n", NR, a, b, a / b
           printf "median of %d pairs, cpu:  vocrin %.3f s, numpy peer %.3f s; ratio %.3f\n", NR, c, d, c / d }' "$work/pairs.txt"
