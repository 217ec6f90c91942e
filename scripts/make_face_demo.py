#!/usr/bin/python3
"""Makes the bundled face demo from public-domain photos shipped by Debian packages.

Writes 1920 x 1080 frames on a textured background for the simulated sensor:
<out>/enrol_frames/: the enrolled person alone, moving about and in changing light, as in front of
the sensor while lumivar_enroll saves her samples;
<out>/frames/: first the enrolled person alone, then the other person alone, then both side by side,
for lumivar_face;
<out>/depth/: for each of those frames the depth picture the simulated sensor reads (LUMIVAR_SIM_DEPTH):
16-bit millimetres, aligned with the frame, each face the relief of a live head (nose, eye sockets,
cheeks curving back) at the distance its size gives, a wall behind, with the sensor's noise and gaps;
so lumivar_face --liveness accepts the demo's faces.
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
# The simulated sensor's cameras (face/sim_freenect2): colour focal length at 1920 x 1080, depth camera.
COLOUR_F = 1081.37
DEPTH_F, DEPTH_CX, DEPTH_CY, DEPTH_W, DEPTH_H = 365.46, 256.0, 205.4, 512, 424
FACE_BOX_MM = 160.0  # width of the detector's box around a real face


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


def head_height(xn, yn, nose_mm=25.0):
    """Height of a live face over its central plane (mm, towards the camera) at box-relative coordinates (in box
    widths and heights from the box's centre, y down), and where the head is."""
    ex, ey = xn / 0.56, (yn + 0.05) / 0.8
    inside = ex * ex + ey * ey <= 1.0
    neck = ~inside & (yn > 0.5) & (np.abs(xn) < 0.28)

    def gauss(x, s):
        return np.exp(-0.5 * (x / s) ** 2)

    h = -50.0 * (xn / 0.5) ** 2 - 15.0 * (yn / 0.5) ** 2  # curving back to the ears, up and down
    ridge = np.where(yn < -0.15, 8.0 * gauss(yn + 0.15, 0.05),
                     np.where(yn <= 0.12, 8.0 + (nose_mm - 8.0) * (yn + 0.15) / 0.27, nose_mm * gauss(yn - 0.12, 0.04)))
    h = h + ridge * gauss(xn, 0.06)
    for side in (-0.2, 0.2):  # eye sockets
        h = h - 10.0 * gauss(np.hypot(xn - side, (yn + 0.1) * 0.9), 0.07)
    h = h + 6.0 * gauss(xn, 0.1) * gauss(yn - 0.3, 0.04) + 4.0 * gauss(xn, 0.12) * gauss(yn - 0.45, 0.05)
    return np.where(neck, -70.0, h), inside | neck


def depth_picture(faces, rng):
    """The depth picture of live heads whose faces the detector boxed at `faces` (x, y, w, h in frame pixels)."""
    cx, cy = (FRAME_W - 1) / 2.0, (FRAME_H - 1) / 2.0
    nearest = min(COLOUR_F * FACE_BOX_MM / w for (_, _, w, _) in faces) if len(faces) else 2000.0
    clean = np.full((FRAME_H, FRAME_W), min(nearest + 1200.0, 4300.0))  # a wall behind everyone
    for (x, y, w, h) in faces:
        d = COLOUR_F * FACE_BOX_MM / w
        box_w, box_h = FACE_BOX_MM, h * d / COLOUR_F
        centre_x, centre_y = (x + w / 2.0 - cx) * d / COLOUR_F, (y + h / 2.0 - cy) * d / COLOUR_F
        left, top = max(0, x - w * 4 // 5), max(0, y - h * 4 // 5)
        right, bottom = min(FRAME_W, x + w * 13 // 5 - w * 4 // 5), min(FRAME_H, y + h * 13 // 5 - h * 4 // 5)
        u, v = np.meshgrid(np.arange(left, right), np.arange(top, bottom))
        ray_x, ray_y = (u - cx) / COLOUR_F, (v - cy) / COLOUR_F
        t = np.full(u.shape, d)
        for _ in range(8):  # where each ray meets the surface; damped, so that steep sides converge too
            height, _ = head_height((t * ray_x - centre_x) / box_w, (t * ray_y - centre_y) / box_h)
            t = 0.5 * t + 0.5 * (d - height)
        _, hit = head_height((t * ray_x - centre_x) / box_w, (t * ray_y - centre_y) / box_h)
        region = clean[top:bottom, left:right]
        region[hit] = np.minimum(region[hit], t[hit])
    # The sensor's noise (about 1.5 mm at 1 m, 4 mm at 3 m) and missing pixels, drawn once per depth pixel.
    j = np.clip(np.rint((np.arange(FRAME_H) - cy) / COLOUR_F * DEPTH_F + DEPTH_CY).astype(int), 0, DEPTH_H - 1)
    i = np.clip(np.rint((np.arange(FRAME_W) - cx) / COLOUR_F * DEPTH_F + DEPTH_CX).astype(int), 0, DEPTH_W - 1)
    noise = rng.standard_normal((DEPTH_H, DEPTH_W))[np.ix_(j, i)]
    missing = rng.uniform(size=(DEPTH_H, DEPTH_W))[np.ix_(j, i)] < 0.03
    measured = clean + noise * np.maximum(0.8, 1.5 + 1.25 * (clean / 1000.0 - 1.0))
    return np.where(missing, 0, np.clip(np.rint(measured), 0, 65535)).astype(np.uint16)


def write_frames(enrolled, other, out_dir, depth_dir, per_segment):
    """The frames for lumivar_face and, for each, the depth picture of the faces the detector finds in it."""
    os.makedirs(out_dir, exist_ok=True)
    os.makedirs(depth_dir, exist_ok=True)
    detector = cv2.CascadeClassifier(CASCADE)
    rng = np.random.default_rng(1)
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
            name = os.path.join(out_dir, "frame_%04d.jpg" % index)
            cv2.imwrite(name, frame, [cv2.IMWRITE_JPEG_QUALITY, 92])
            # The faces where lumivar_face finds them: in the frame as it reads it back.
            grey = cv2.imread(name, cv2.IMREAD_GRAYSCALE)
            faces = [tuple(2 * int(n) for n in face) for face in detections(detector, grey)]
            cv2.imwrite(os.path.join(depth_dir, "frame_%04d.png" % index), depth_picture(faces, rng))
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
    frames = write_frames(enrolled, other, os.path.join(args.out, "frames"), os.path.join(args.out, "depth"),
                          args.per_segment)
    print("make_face_demo: %d frames to enrol from, %d frames to recognise in %s" % (enrol_frames, frames, args.out))


if __name__ == "__main__":
    main()
