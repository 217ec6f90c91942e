#!/usr/bin/python3
"""A 1920 x 1080 stream for --track: the enrolled person walks across a textured background, 4 pixels a frame
(120 pixels a second at 30 fps), and a stranger appears half-way.

Usage: make_walk_stream.py OUT_DIR [FRAMES, default 240] [TRUTH_FILE]
Writes OUT_DIR/frame_NNNN.jpg and, when asked, TRUTH_FILE: per frame one line, its number (from 1) and each
face's box in frame pixels, "x y w h" (the face the detector finds in the photo, moved with it; walker first).
"""
import os
import sys

import cv2

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import make_face_demo as demo  # noqa: E402

STEP = 4


def main():
    out = sys.argv[1]
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 240
    os.makedirs(out, exist_ok=True)
    background = demo.clean_background()
    enrolled, stranger = cv2.imread(demo.ENROLLED), cv2.imread(demo.OTHER)
    faces = [face_in(enrolled), face_in(stranger)]
    truth = []
    for index in range(frames):
        frame = background.copy()
        places = [(40 + STEP * index, 300)]
        demo.paste(frame, enrolled, *places[0])
        if index >= frames // 2:
            places.append((1380, 60))
            demo.paste(frame, stranger, *places[1])
        cv2.imwrite(os.path.join(out, "frame_%04d.jpg" % (index + 1)), frame, [cv2.IMWRITE_JPEG_QUALITY, 92])
        boxes = ["%d %d %d %d" % (x + f[0], y + f[1], f[2], f[3]) for (x, y), f in zip(places, faces)]
        truth.append(" ".join([str(index + 1)] + boxes))
    if len(sys.argv) > 3:
        with open(sys.argv[3], "w") as f:
            f.write("\n".join(truth) + "\n")


def face_in(photo):
    """The largest face the detector finds in the photo on its own."""
    grey = cv2.equalizeHist(cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY))
    found = cv2.CascadeClassifier(demo.CASCADE).detectMultiScale(grey, 1.1, 4, 0, (60, 60))
    return max(found, key=lambda f: f[2] * f[3])


if __name__ == "__main__":
    main()
