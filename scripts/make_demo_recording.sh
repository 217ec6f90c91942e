#!/usr/bin/env bash
# Makes OUTDIR/kinect_array_speech.wav: synthetic speech as the Kinect v2 array would record it,
# 4 channels, 16000 Hz, 32-bit PCM (plain format tag 1). The speech reaches channel k k samples
# late (0, 1, 2, 3), so the outer pair's lag is +3; each channel carries its own faint noise.
# Built only from espeak-ng and sox, reproducibly: the same tools give the same bytes.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
outdir=$1
for tool in espeak-ng sox soxi; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool is missing; run scripts/setup.sh" >&2
        exit 1
    fi
done
mkdir -p "$outdir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

espeak-ng -v en -s 150 -w "$work/speech.wav" \
    "Lumivar voice check. The microphone array is listening. One, two, three, four."

# Resample before delaying, so "Ns" counts samples at 16000 Hz. Speech peaks stay near -6 dBFS.
sox -D "$work/speech.wav" -t wavpcm -b 32 -e signed-integer "$work/speech4.wav" \
    vol 0.5 rate -v 16000 pad 0.4 0.4 remix 1 1 1 1 delay 0s 1s 2s 3s

# Independent room noise per channel (about -64 dBFS RMS): four consecutive stretches of one
# repeatable noise track, so no noise is shared between channels.
frames=$(soxi -s "$work/speech4.wav")
sox -D -R -r 16000 -c 1 -n -b 32 -e signed-integer "$work/noise.wav" synth "$((frames * 4))s" whitenoise vol 0.001
for k in 0 1 2 3; do
    sox -D "$work/noise.wav" "$work/noise$k.wav" trim "$((frames * k))s" "${frames}s"
done
sox -D -M "$work/noise0.wav" "$work/noise1.wav" "$work/noise2.wav" "$work/noise3.wav" "$work/noise4.wav"

sox -D -m -v 1 "$work/speech4.wav" -v 1 "$work/noise4.wav" \
    -t wavpcm -r 16000 -c 4 -b 32 -e signed-integer "$work/kinect_array_speech.wav"
mv "$work/kinect_array_speech.wav" "$outdir/kinect_array_speech.wav"
