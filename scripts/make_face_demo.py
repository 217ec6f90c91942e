#!/usr/bin/python3
"""Makes the bundled face demo from public-domain photos shipped by Debian packages.

Writes <out>/samples/ (crops of the enrolled person's photo, 160 x 160 grey) and
<out>/frames/ (1920 x 1080 frames on a textured background): first the enrolled person
alone, then the other person alone, then both side by side.
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


def largest_face(grey):
    detector = cv2.CascadeClassifier(CASCADE)
    faces = detector.detectMultiScale(cv2.equalizeHist(grey), 1.1, 4, 0, (30, 30))
    if len(faces) == 0:
        sys.exit("make_face_demo: no face found in " + ENROLLED)
    return max(faces, key=lambda f: f[2] * f[3])


def write_samples(photo, out_dir):
    """Crops around the detected face with small shifts, zooms and light changes, as an enrolment would."""
    grey = cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY)
    x, y, w, h = largest_face(grey)
    os.makedirs(out_dir, exist_ok=True)
    count = 0
    for zoom in (0.95, 1.0, 1.06):
        for dx, dy in ((0, 0), (-6, 0), (6, 0), (0, -6), (0, 6)):
            side = int(w * zoom)
            cx, cy = x + w // 2 + dx, y + h // 2 + dy
            x0, y0 = max(cx - side // 2, 0), max(cy - side // 2, 0)
            crop = grey[y0:y0 + side, x0:x0 + side]
            gain = 0.9 + 0.1 * (count % 3)
            crop = np.clip(crop.astype(np.float32) * gain, 0, 255).astype(np.uint8)
            crop = cv2.resize(crop, (160, 160), interpolation=cv2.INTER_AREA)
            count += 1
            cv2.imwrite(os.path.join(out_dir, "veyra_%02d.png" % count), crop)
    return count


def paste(frame, photo, left, top, feather=40):
    """Blends the photo in with soft edges, so its border does not look like a face to the detector."""
    h, w = photo.shape[:2]
    mask = np.zeros((h, w), np.float32)
    mask[feather:h - feather, feather:w - feather] = 1.0
    mask = cv2.GaussianBlur(mask, (0, 0), feather / 2.0)[:, :, None]
    region = frame[top:top + h, left:left + w].astype(np.float32)
    frame[top:top + h, left:left + w] = (mask * photo + (1.0 - mask) * region).astype(np.uint8)


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
    args = parser.parse_args()
    enrolled = cv2.imread(ENROLLED, cv2.IMREAD_COLOR)
    other = cv2.imread(OTHER, cv2.IMREAD_COLOR)
    if enrolled is None or other is None:
        sys.exit("make_face_demo: install python-matplotlib-data and python3-imageio (scripts/setup.sh)")
    samples = write_samples(enrolled, os.path.join(args.out, "samples"))
    enrolled = enrolled[:460]  # head and shoulders: the uniform's insignia fool the detector
    frames = write_frames(enrolled, other, os.path.join(args.out, "frames"), args.per_segment)
    print("make_face_demo: %d samples, %d frames in %s" % (samples, frames, args.out))


if __name__ == "__main__":
    main()
