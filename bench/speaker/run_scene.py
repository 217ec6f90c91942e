#!/usr/bin/python3
"""Runs the three real programs at once on a scene of make_scene.py and scores who they say is speaking.

  run_scene.py BUILD_DIR SCENE_DIR [--calibrate] [--face-options=OPTIONS] [--keep DIR]

BUILD_DIR holds a build with face/recognise/lumivar_face_sim, face/enroll/lumivar_enroll_sim, voice/vocrin and
speaker/lumivar_speaker. The enrolled person's samples come from SCENE_DIR/enrol (lumivar_enroll_sim --images).
Then, all three at the same time:
  lumivar_face_sim on the simulated sensor at 30 frames a second (LUMIVAR_SIM_REALTIME=1, the scene's frames
      looped), processing what it can, --faces-out into a FIFO;
  vocrin --live --mic-positions (the Kinect's) on arecord reading the scene's sound at real time: a private
      PulseAudio server's null sink paces ALSA's file plugin (the simulated array of the tests, paced), with
      --directions-out into a FIFO;
  lumivar_speaker --follow on both FIFOs, --out into a file.
vocrin runs for the scene's length plus 3 s (arecord's first bytes come 0.5 to 2 s late); then lumivar_speaker ends
with the voice stream and lumivar_face is stopped with SIGINT.

Scores, chunk by chunk (chunk k is the scene's sound from (k - 1) * 1024 / 16000 s, since the capture starts at
the infile's first byte): inside each turn, from 0.5 s after it starts to its end, the share of the chunks vocrin
marks as speech that lumivar_speaker gives to the turn's speaker (the enrolled label, Unknown, unseen); in the
pauses, from 0.5 s after a turn ends (the room's echo) to the next turn, the chunks given to anybody. Also the
frames lumivar_face processed, the chunks vocrin delivered and each program's CPU time.

--calibrate: first the calibration walk (SCENE_DIR/walk) the same way but into regular files, vocrin first and
lumivar_face once vocrin's first line is written; then lumivar_speaker --calibrate on the two files, and the scene
is run with the options of its `use:` line. --face-options=OPTIONS: added to lumivar_face's command line (e.g.
--face-options=--track; the "=" lets a value start with "--").
--keep DIR: work there and keep every file (otherwise a temporary directory)."""
import argparse
import json
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MICS = "-0.113,0.036,0.076,0.113"
RATE, CHUNK = 16000, 1024
SETTLE = 0.5  # seconds left out after a turn starts, and after it ends

ASOUNDRC = """pcm.!hw {
    @args [ CARD DEV SUBDEV ]
    @args.CARD { type string default "0" }
    @args.DEV { type integer default 0 }
    @args.SUBDEV { type integer default -1 }
    type file
    slave.pcm { type pulse; device "dummy.monitor" }
    file "/dev/null"
    infile { @func getenv vars [ MIC4_INFILE ] default "/nonexistent" }
    format "raw"
}
"""


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def wait_for(check, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        if check():
            return
        time.sleep(0.05)
    sys.exit("run_scene: timed out waiting for " + what)


def reap(process, seconds):
    """Waits for the process and returns (exit status, CPU seconds, user plus system)."""
    end = time.time() + seconds
    while time.time() < end:
        try:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        except ChildProcessError:  # reaped already by subprocess: no usage to report
            return process.wait(), float("nan")
        if pid == process.pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return process.returncode, usage.ru_utime + usage.ru_stime
        time.sleep(0.05)
    process.kill()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_utime + usage.ru_stime


def text(path):
    with open(path) as f:
        return f.read()


class Programs:
    def __init__(self, build, work, face_options):
        self.face = os.path.join(build, "face/recognise/lumivar_face_sim")
        self.enroll = os.path.join(build, "face/enroll/lumivar_enroll_sim")
        self.vocrin = os.path.join(build, "voice/vocrin")
        self.speaker = os.path.join(build, "speaker/lumivar_speaker")
        self.work = work
        self.face_options = shlex.split(face_options)
        self.samples = os.path.join(work, "samples", "veyra")

    def path(self, name):
        return os.path.join(self.work, name)

    def start_pulse(self):
        pa = self.path("pa")
        for d in ("home", "xdg"):
            os.makedirs(os.path.join(pa, d), exist_ok=True)
        os.chmod(os.path.join(pa, "xdg"), 0o700)
        with open(os.path.join(pa, "home", ".asoundrc"), "w") as f:
            f.write(ASOUNDRC)
        self.audio_env = dict(os.environ, HOME=os.path.join(pa, "home"), XDG_RUNTIME_DIR=os.path.join(pa, "xdg"),
                              PULSE_SERVER="unix:" + os.path.join(pa, "pa.sock"))
        self.pulse = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
             "--disable-shm=yes", "--log-target=file:" + os.path.join(pa, "pa.log"),
             "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + os.path.join(pa, "pa.sock"),
             "-L", "module-null-sink sink_name=dummy"],
            env=self.audio_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: subprocess.run(["pactl", "info"], env=self.audio_env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode == 0, 15, "the PulseAudio server")

    def stop_pulse(self):
        self.pulse.terminate()
        try:
            self.pulse.wait(10)
        except subprocess.TimeoutExpired:
            self.pulse.kill()
            self.pulse.wait()

    # lumivar_enroll and lumivar_face keep their trained model in models/ of the directory they run in: the work one.
    def enrol(self, scene):
        shutil.rmtree(os.path.join(self.work, "samples"), ignore_errors=True)  # a second enrolment would add
        out = subprocess.run([self.enroll, "--images", os.path.join(scene, "enrol"), "--samples-dir", self.samples,
                              "--count", "10"], capture_output=True, text=True, cwd=self.work)
        if out.returncode != 0:
            sys.exit("run_scene: enrolment failed:\n" + out.stdout + out.stderr)
        return re.search(r"saved=(\d+)", out.stdout).group(1)

    def start_face(self, frames, faces_out, name, loop):
        env = dict(os.environ, LUMIVAR_SIM_FRAMES=frames, LUMIVAR_SIM_REALTIME="1", LUMIVAR_SIM_LOOP="1" if loop else "0")
        return subprocess.Popen([self.face, "--samples-dir", self.samples, "--faces-out", faces_out, "--frames",
                                 "1000000", "--log-every", "1"] + self.face_options, env=env, cwd=self.work,
                                stdout=open(self.path(name + "_face.out"), "w"), stderr=subprocess.STDOUT)

    def start_vocrin(self, infile, directions_out, seconds, name):
        env = dict(self.audio_env, MIC4_INFILE=infile)
        return subprocess.Popen([self.vocrin, "--live", "--mic-positions", MICS, "--directions-out", directions_out,
                                 "--pcm-output", "/dev/null", "--live-duration", str(seconds), "--log",
                                 self.path(name + "_vocrin.log")], env=env, stdout=subprocess.DEVNULL,
                                stderr=open(self.path(name + "_vocrin.err"), "w"))


def face_summary(path):
    found = re.search(r"^summary: frames=(\d+), fps=([\d.]+)", text(path), re.M)
    return (int(found.group(1)), float(found.group(2))) if found else (0, 0.0)


def vocrin_summary(path):
    log = text(path)
    chunks = re.search(r"^live chunks_processed: (\d+)", log, re.M)
    dropped = re.search(r"^live directions_dropped: (\d+)", log, re.M)
    return int(chunks.group(1)) if chunks else 0, int(dropped.group(1)) if dropped else -1


def stop_face(face):
    face.send_signal(signal.SIGINT)
    return reap(face, 30)


def run_walk(programs, scene):
    truth = json.load(open(os.path.join(scene, "walk", "truth.json")))
    faces, voice = programs.path("walk_faces.jsonl"), programs.path("walk_voice.jsonl")
    vocrin = programs.start_vocrin(os.path.join(scene, "walk", "array.raw"), voice, math.ceil(truth["seconds"]) + 3,
                                   "walk")
    wait_for(lambda: os.path.exists(voice) and os.path.getsize(voice) > 0, 30, "vocrin's first line")
    face = programs.start_face(os.path.join(scene, "walk", "frames"), faces, "walk", loop=False)
    reap(vocrin, truth["seconds"] + 60)
    stop_face(face)
    first_chunk = json.loads(open(voice).readline())["time"]
    first_frame = json.loads(open(faces).readline())["time"]
    out = subprocess.run([programs.speaker, "--calibrate", "--faces", faces, "--voice", voice], capture_output=True,
                         text=True)
    print("calibration walk: %d places; lumivar_face's first frame %.2f s after vocrin's first chunk; "
          "lumivar_speaker --calibrate (status %d):" % (len(truth["turns"]), first_frame - first_chunk,
                                                         out.returncode))
    print("  " + (out.stdout + out.stderr).strip().replace("\n", "\n  "))
    use = re.search(r"^use: lumivar_speaker (.*)$", out.stdout, re.M)
    fit = re.search(r"^fit: sign=(\S+), offset_m=([-\d.]+)", out.stdout, re.M)
    geometry = truth["geometry"]
    if fit:
        print("  fitted sign %s, offset %s m; true sign %d, offset %.3f m" % (
            fit.group(1), fit.group(2), geometry["sign"], geometry["offset_m"]))
    return shlex.split(use.group(1)) if use else None


def run_scene(programs, scene, speaker_options):
    truth = json.load(open(os.path.join(scene, "truth.json")))
    faces, voice = programs.path("faces.fifo"), programs.path("voice.fifo")
    for fifo in (faces, voice):
        if os.path.exists(fifo):
            os.remove(fifo)
        os.mkfifo(fifo)
    out = programs.path("speakers.jsonl")
    print("load average before: %s" % load())
    speaker = subprocess.Popen([programs.speaker, "--faces", faces, "--voice", voice, "--out", out, "--follow"] +
                               speaker_options, stdout=open(programs.path("speaker.out"), "w"),
                               stderr=open(programs.path("speaker.err"), "w"))
    face = programs.start_face(os.path.join(scene, "frames"), faces, "scene", loop=True)
    face_out = programs.path("scene_face.out")
    wait_for(lambda: "processed frames: 1," in text(face_out), 60, "lumivar_face's first frame")
    vocrin = programs.start_vocrin(os.path.join(scene, "array.raw"), voice, math.ceil(truth["seconds"]) + 3, "scene")
    vocrin_status, vocrin_cpu = reap(vocrin, truth["seconds"] + 60)
    speaker_status, speaker_cpu = reap(speaker, 60)
    face_status, face_cpu = stop_face(face)
    print("load average after: %s" % load())
    frames, fps = face_summary(face_out)
    chunks, dropped = vocrin_summary(programs.path("scene_vocrin.log"))
    wall = truth["seconds"] + 3
    print("lumivar_face: status %d, %d frames processed (%.2f a second), CPU %.1f s" % (face_status, frames, fps,
                                                                                      face_cpu))
    print("vocrin: status %d, %d chunks delivered (%d directions lines dropped), CPU %.1f s" % (
        vocrin_status, chunks, dropped, vocrin_cpu))
    print("lumivar_speaker: status %d, CPU %.2f s (%.1f%% of a core over the %.0f s)" % (
        speaker_status, speaker_cpu, 100 * speaker_cpu / wall, wall))
    print("  " + text(programs.path("speaker.out")).strip().replace("\n", "\n  "))
    return score(truth, [json.loads(line) for line in open(out)])


def score(truth, lines):
    """The share of right speakers in each turn and of chunks given to anybody in the pauses; true when all meet
    their aims."""
    def span(line):
        start = (line["chunk"] - 1) * CHUNK / RATE
        return start, start + CHUNK / RATE

    turns = truth["turns"]
    ok = True
    by_speaker = {}
    for turn in turns:
        inside = [j for j in lines if span(j)[0] >= turn["start"] + SETTLE and span(j)[1] <= turn["end"]]
        speech = [j for j in inside if j["speech"]]
        right = sum(1 for j in speech if j["speaker"] == turn["speaker"])
        given = {}
        for j in speech:
            given[str(j["speaker"])] = given.get(str(j["speaker"]), 0) + 1
        print("turn %5.1f-%5.1f s %-8s at %6.1f degrees: %d of %d chunks speech, %d right (%.1f%%); given: %s" % (
            turn["start"], turn["end"], turn["who"], turn["angle_degrees"], len(speech), len(inside), right,
            100.0 * right / max(1, len(speech)), json.dumps(given, sort_keys=True)))
        total = by_speaker.setdefault(turn["speaker"], [0, 0])
        total[0] += right
        total[1] += len(speech)
    for who, (right, count) in by_speaker.items():
        share = 100.0 * right / max(1, count)
        ok &= share >= 90
        print("%-14s %d of %d speech chunks right: %.1f%% (aim 90%%)" % (who, right, count, share))
    bounds = [(0.0, turns[0]["start"])] + [(a["end"] + SETTLE, b["start"]) for a, b in zip(turns, turns[1:])] + [
        (turns[-1]["end"] + SETTLE, truth["seconds"])]
    pause = [j for j in lines if any(span(j)[0] >= a and span(j)[1] <= b for a, b in bounds)]
    given = [j for j in pause if j["speaker"] is not None]
    speech = sum(1 for j in pause if j["speech"])
    share = 100.0 * len(given) / max(1, len(pause))
    ok &= share <= 5
    print("pauses: %d of %d chunks given to anybody: %.1f%% (aim at most 5%%); %d marked speech" % (
        len(given), len(pause), share, speech))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("scene")
    parser.add_argument("--calibrate", action="store_true")
    parser.add_argument("--face-options", default="")
    parser.add_argument("--keep")
    args = parser.parse_args()
    build, scene = os.path.abspath(args.build), os.path.abspath(args.scene)
    with tempfile.TemporaryDirectory() as temporary:
        work = os.path.abspath(args.keep) if args.keep else temporary
        os.makedirs(work, exist_ok=True)
        programs = Programs(build, work, args.face_options)
        print("enrolled: %s samples from %s/enrol" % (programs.enrol(scene), scene))
        programs.start_pulse()
        try:
            options = []
            if args.calibrate:
                options = run_walk(programs, scene)
                if options is None:
                    sys.exit("run_scene: the calibration printed no use: line")
            print("scene: lumivar_speaker %s" % " ".join(options))
            ok = run_scene(programs, scene, options)
        finally:
            programs.stop_pulse()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
