#!/usr/bin/env bash
# The tracked loop under ThreadSanitizer: lumivar_face and lumivar_enroll built with -DLUMIVAR_TSAN=ON in
# build-tsan, run with --track on a walk (bench/face/make_walk_stream.py, small frames) to their frame limit,
# at the sensor's pace until SIGINT, and with --liveness (also at the sensor's pace); any race report fails the run
# (status 66).
# Usage: bench/face_track_tsan.sh [frames per run, default 40]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVAR_TSAN_BUILD_DIR:-$top/build-tsan}
frames=${1:-40}
work=$build/face-track-tsan
face=$build/face/recognise/lumivar_face_sim
enroll=$build/face/enroll/lumivar_enroll_sim
# bench/face/tsan.supp: what the uninstrumented system libraries do among their own threads.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$top/bench/face/tsan.supp"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVAR_TSAN=ON -DLUMIVAR_BUILD_TESTS=OFF \
  -DLUMIVAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target lumivar_face_sim lumivar_enroll_sim -j "$(nproc)" >/dev/null
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 "$top/bench/face/make_walk_stream.py" "$work/walk" "$frames" 2>/dev/null

failed=0
# NAME, then the command; passes when it ends with status 0, "clean exit" and no report.
check() {
  local name=$1
  shift
  local status=0
  (cd "$work" && unset DISPLAY && "$@" >"$name.out" 2>"$name.err") || status=$?
  if [ "$status" -eq 0 ] && grep -q '^clean exit$' "$work/$name.out" && ! grep -q ThreadSanitizer "$work/$name.err"; then
    echo "$name: clean ($(grep -c '^processed frames\|^saved\|^skipped' "$work/$name.out") frame lines)"
  else
    echo "$name: FAILED (status $status), see $work/$name.err"
    failed=1
  fi
}
# Enrolment first: its samples are the recogniser's.
check enroll env LUMIVAR_SIM_FRAMES="$work/walk" "$enroll" --samples-dir samples --count 1000 --min-change 0 \
  --frames "$frames" --track
common=(--samples-dir samples --model model/face.yml --labels model/labels.txt --log-every 1)
check face_frame_limit env LUMIVAR_SIM_FRAMES="$work/walk" "$face" "${common[@]}" --frames "$frames" --track
check face_liveness env LUMIVAR_SIM_FRAMES="$work/walk" "$face" "${common[@]}" --frames "$frames" --track --liveness
# At the sensor's pace with depth (a wall 1.2 m away): the simulated sensor makes both frames on its own thread.
mkdir -p "$work/depth"
/usr/bin/python3 -c "import cv2, numpy; cv2.imwrite('$work/depth/wall.png', numpy.full((1080, 1920), 1200, numpy.uint16))"
for f in "$work"/walk/*.jpg; do ln -s wall.png "$work/depth/$(basename "$f" .jpg).png"; done
check face_realtime_liveness env LUMIVAR_SIM_FRAMES="$work/walk" LUMIVAR_SIM_DEPTH="$work/depth" LUMIVAR_SIM_REALTIME=1 \
  LUMIVAR_SIM_LOOP=1 "$face" "${common[@]}" --frames "$frames" --track --liveness
# At the sensor's pace, stopped by Ctrl-C mid-run.
(cd "$work" && unset DISPLAY && LUMIVAR_SIM_FRAMES="$work/walk" LUMIVAR_SIM_LOOP=1 LUMIVAR_SIM_REALTIME=1 \
  exec "$face" "${common[@]}" --frames 1000000 --track >signal.out 2>signal.err) &
pid=$!
for _ in $(seq 600); do grep -q '^processed frames: 20,' "$work/signal.out" 2>/dev/null && break; sleep 0.2; done
kill -INT "$pid"
status=0; wait "$pid" || status=$?
if [ "$status" -eq 0 ] && grep -q '^stop requested by signal SIGINT$' "$work/signal.out" &&
   grep -q '^clean exit$' "$work/signal.out" && ! grep -q ThreadSanitizer "$work/signal.err"; then
  echo "face_sigint: clean ($(grep -c '^processed frames' "$work/signal.out") frames before the signal)"
else
  echo "face_sigint: FAILED (status $status), see $work/signal.err"
  failed=1
fi
exit "$failed"
