#!/usr/bin/python3
"""Makes the bundled face demo from public-domain photos shipped by Debian packages.

Writes 1920 x 1080 frames on a textured background for the simulated sensor:
<out>/enrol_frames/: the enrolled person alone, moving about and in changing light, as in front of
the sensor while lumivar_enroll saves her samples;
<out>/frames/: first the enrolled person alone, then the other person alone, then both side by side,
for lumivar_face.
"""
import argparse
import os
import sys

import cv2
import numpy as np

ENROLLED = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"  # python-matplotlib-data
OTHER = "/usr/lib/python3/dist-packages/imageio/resources/images/astronaut.png"  # python3-imageio
CASCADE = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml"  # opencv-data
FRAME_W, FRAME_H = 1920, 1080


def textured_background(rng):
    """Noise at several scales: the detector equalises the frame, and a flat canvas hides faces."""
    canvas = np.zeros((FRAME_H, FRAME_W, 3), np.float32)
    for cell, weight in ((8, 0.2), (32, 0.35), (128, 0.45)):
        small = rng.uniform(0, 255, (FRAME_H // cell + 1, FRAME_W // cell + 1, 3)).astype(np.float32)
        canvas += weight * cv2.resize(small, (FRAME_W, FRAME_H), interpolation=cv2.INTER_CUBIC)[:FRAME_H, :FRAME_W]
    return np.clip(canvas * 0.8 + 25, 0, 255).astype(np.uint8)


def detections(detector, grey):
    """Faces as lumivar_face finds them with its defaults: half size, equalised, 15 px minimum."""
    small = cv2.equalizeHist(cv2.resize(grey, None, fx=0.5, fy=0.5, interpolation=cv2.INTER_AREA))
    return detector.detectMultiScale(small, 1.1, 4, 0, (15, 15))


def clean_background():
    """The first textured background in which the detector sees no face of its own."""
    detector = cv2.CascadeClassifier(CASCADE)
    for seed in range(100):
        background = textured_background(np.random.default_rng(seed))
        if len(detections(detector, cv2.cvtColor(background, cv2.COLOR_BGR2GRAY))) == 0:
            return background
    sys.exit("make_face_demo: every background tried holds a face-like pattern")


def paste(frame, photo, left, top, feather=40):
    """Blends the photo in with soft edges, so its border does not look like a face to the detector."""
    h, w = photo.shape[:2]
    mask = np.zeros((h, w), np.float32)
    mask[feather:h - feather, feather:w - feather] = 1.0
    mask = cv2.GaussianBlur(mask, (0, 0), feather / 2.0)[:, :, None]
    region = frame[top:top + h, left:left + w].astype(np.float32)
    frame[top:top + h, left:left + w] = (mask * photo + (1.0 - mask) * region).astype(np.uint8)


def write_enrol_frames(enrolled, out_dir, count):
    """The enrolled person at several distances, places and light levels, one change per frame."""
    os.makedirs(out_dir, exist_ok=True)
    background = clean_background()
    for index in range(count):
        zoom = (0.9, 1.0, 0.95, 1.05)[index % 4]
        gain = (1.0, 0.85, 1.15)[index % 3]
        photo = cv2.resize(enrolled, None, fx=zoom, fy=zoom, interpolation=cv2.INTER_AREA)
        photo = np.clip(photo.astype(np.float32) * gain, 0, 255).astype(np.uint8)
        frame = background.copy()
        paste(frame, photo, 300 + 97 * (index % 7), 150 + 41 * (index % 5))
        cv2.imwrite(os.path.join(out_dir, "frame_%04d.jpg" % (index + 1)), frame, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return count


def write_frames(enrolled, other, out_dir, per_segment):
    os.makedirs(out_dir, exist_ok=True)
    background = clean_background()
    segments = (("enrolled",), ("other",), ("enrolled", "other"))
    places = {"enrolled": (260, 240), "other": (1150, 300)}
    photos = {"enrolled": enrolled, "other": other}
    index = 0
    for segment in segments:
        for step in range(per_segment):
            frame = background.copy()
            for who in segment:
                left, top = places[who]
                # a little sway, as a person in front of the sensor would
                paste(frame, photos[who], left + 3 * (step % 5), top + 2 * (step % 3))
            index += 1
            cv2.imwrite(os.path.join(out_dir, "frame_%04d.jpg" % index), frame, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return index


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out", help="output directory, e.g. build/demo/face")
    parser.add_argument("--per-segment", type=int, default=12, help="frames per segment (3 segments)")
    parser.add_argument("--enrol-frames", type=int, default=20, help="frames to enrol from")
    args = parser.parse_args()
    enrolled = cv2.imread(ENROLLED, cv2.IMREAD_COLOR)
    other = cv2.imread(OTHER, cv2.IMREAD_COLOR)
    if enrolled is None or other is None:
        sys.exit("make_face_demo: install python-matplotlib-data and python3-imageio (scripts/setup.sh)")
    enrolled = enrolled[:460]  # head and shoulders: the uniform's insignia fool the detector
    enrol_frames = write_enrol_frames(enrolled, os.path.join(args.out, "enrol_frames"), args.enrol_frames)
    frames = write_frames(enrolled, other, os.path.join(args.out, "frames"), args.per_segment)
    print("make_face_demo: %d frames to enrol from, %d frames to recognise in %s" % (enrol_frames, frames, args.out))


if __name__ == "__main__":
    main()
