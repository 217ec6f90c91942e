#!/usr/bin/python3
"""Live angles and low-confidence flags of a sound from outside the picture, by placement.

The radio of make_scene.py (two sentences with pauses) alone, in its room, at each wall gap (the array's distance
from the wall behind it), distance from the array and angle given. Each 1024-frame chunk goes through live mode's
own step with the half-second history (voice_chunk_angles, built in BUILD_DIR/bench). Over the chunks in which
the radio speaks (within 20 dB of its loudest chunk): the mean and spread of the angles, the share within 10
degrees of the true angle (the one at which the array sees the radio's mouth, elevation included), the share
flagged low_confidence, the right chunks flagged and the wrong ones left unflagged.

  out_of_picture_angles.py BUILD_DIR GAPS DISTANCES ANGLES     (comma-separated lists, metres and degrees)
"""
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_scene as scene  # noqa: E402
import direction_accuracy as da  # noqa: E402


def numbers(text):
    return [float(v) for v in text.split(",")]


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    tool = os.path.join(os.path.abspath(sys.argv[1]), "bench", "voice_chunk_angles")
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as work:
        said = [scene.speech(work, *scene.ROUNDS[i]["radio"], i) for i in range(2)]
        signal = np.concatenate([np.zeros(8000), said[0], np.zeros(16000), said[1], np.zeros(16000)])
        loud = np.add.reduceat(signal ** 2, np.arange(0, len(signal) - 1023, 1024))
        for gap in numbers(sys.argv[2]):
            for distance in numbers(sys.argv[3]):
                for angle in numbers(sys.argv[4]):
                    channels, _ = scene.render([(signal, 0, angle, distance)], len(signal) + 6000, gap, rng)
                    pcm = np.round(channels.T / np.abs(channels).max() * 0.5 * 2 ** 31).astype("<i4").tobytes()
                    wav = os.path.join(work, "radio.wav")
                    with open(wav, "wb") as f:
                        f.write(b"RIFF" + struct.pack("<I", 36 + len(pcm)) + b"WAVEfmt " +
                                struct.pack("<IHHIIHH", 16, 1, 4, da.RATE, 16 * da.RATE, 16, 32) + b"data" +
                                struct.pack("<I", len(pcm)) + pcm)
                    out = subprocess.run([tool, wav, "1024", ",".join("%g" % m for m in da.MICS)], check=True,
                                         capture_output=True, text=True).stdout
                    rows = np.array([[float(v) for v in line.split()] for line in out.splitlines()])
                    speaking = np.zeros(len(rows), bool)
                    speaking[:len(loud)] = (loud >= 0.01 * loud.max())[:len(rows)]
                    rows = rows[speaking]
                    centre = np.array([2.7, gap, scene.ARRAY_HEIGHT])
                    mouth = centre + distance * da.unit_towards(angle)
                    mouth[2] = scene.MOUTH_HEIGHT
                    d = mouth - centre
                    truth = float(np.degrees(np.arcsin(-d[0] / np.linalg.norm(d))))
                    right = np.abs(rows[:, 3] - truth) <= 10
                    low = rows[:, 4] == 1
                    print("wall gap %.2f m, %.1f m away at %+4.0f (seen at %+6.1f): %3d chunks, mean %+6.1f, sd %4.1f, "
                          "within 10 degrees %5.1f%%, flagged %5.1f%%, right flagged %3d, wrong unflagged %3d" % (
                              gap, distance, angle, truth, len(rows), rows[:, 3].mean(), rows[:, 3].std(),
                              100 * right.mean(), 100 * low.mean(), (right & low).sum(), (~right & ~low).sum()),
                          flush=True)


if __name__ == "__main__":
    main()
