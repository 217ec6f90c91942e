#!/usr/bin/env bash
# End-to-end batch throughput of `vocrin --input-wav` on a 60-second 4-channel 32-bit capture,
# as a multiple of real time, and the run's peak memory (maximum resident set size).
#
#   bash bench/voice/bench_batch.sh [VOCRIN] [RUNS]
#
# VOCRIN defaults to build-bench/voice/vocrin, built here in Release when missing. The input is the
# bundled recording (scripts/make_demo_recording.sh) looped to 60 s. Target: >= 200x real time.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
vocrin=${1:-$top/build-bench/voice/vocrin}
runs=${2:-5}
seconds=60

if [ ! -x "$vocrin" ]; then
    cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$top/build-bench" --target vocrin -j "$(nproc)" >/dev/null
    vocrin=$top/build-bench/voice/vocrin
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$top/scripts/make_demo_recording.sh" "$work" >/dev/null
# Loop the recording to 60 s; -t wavpcm keeps a plain PCM header (tag 1) for 4 x 32 bits.
sox -D "$work/kinect_array_speech.wav" -t wavpcm "$work/long.wav" repeat 9
sox -D "$work/long.wav" -t wavpcm "$work/capture60.wav" trim 0 "${seconds}"
frames=$(soxi -s "$work/capture60.wav")
echo "input: $frames frames, 4 channels, 32-bit, 16000 Hz ($(awk -v f="$frames" 'BEGIN{printf "%.1f", f/16000}') s)"

best=""
for run in $(seq "$runs"); do
    /usr/bin/time -v -o "$work/time.txt" "$vocrin" --input-wav "$work/capture60.wav" \
        --beamformed "$work/beam.wav" --event "$work/event.json" --log "$work/run.log" >/dev/null
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
