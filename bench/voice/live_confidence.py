#!/usr/bin/python3
"""Whether live mode's low-confidence flag tracks the angle's truth, chunk by chunk.

A talker (espeak-ng, two voices, sentences with pauses between them, 16 kHz) stands 2 m from the
Kinect v2 array (-0.113, 0.036, 0.076, 0.113 m) at -60, -50, -18, +16, +50 and +60 degrees in the
image-source rooms of direction_accuracy.py (5 x 4 x 2.7 m and 7 x 5 x 3 m), at 0.3 s (and with
--hard also 0.6 s) of reverberation. Two noise settings: sensor noise alone 25 dB below the talker
("quiet"), and the fan 15 dB down with diffuse rumble at 10 dB ("noisy"), each SNR over the whole
file, pauses included. Every 1024-frame chunk goes through live mode's own step with its half
second of history, as `vocrin --input-wav SCENE --directions-out LINES --mic-positions ...`
writes the lines (a batch run gives live mode's lines). Over the chunks in which the talker
speaks (its own sound within 20 dB of its loudest chunk) a chunk is right when its angle is within 10 degrees of
the truth. It prints, per side (negative and positive angles) and per angle, the share of right
chunks left unflagged ("spared") and of wrong ones flagged, and how well the `speech` flag tells
the talker's chunks from the pauses (from 0.4 s after the talker stops).

  python3 bench/voice/live_confidence.py VOCRIN [--hard] [--check] [--quick] [--dump FILE]

--quick: the 7 x 5 x 3 m room, quiet, at -50, -18, +16 and +50 degrees only. --check: exit status 1 unless
at 0.3 s on each side at least 90% of the right chunks are spared (and, given ten or more wrong
ones, at least half of those flagged), and the speech flag is set on at least 80% of the talker's
chunks and at most 10% of the pauses'.

--dump writes every chunk as one line: room, rt60, noise, angle, truth, chunk, angle, low,
confidence, speech, whether the talker speaks."""
import json, os, subprocess, sys, tempfile
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import direction_accuracy as da

ANGLES = (-60, -50, -18, 16, 50, 60)
DISTANCE = 2.0
CHUNK = 1024
SENTENCES = ("The red house on the corner has a green door and a small garden.",
             "Please bring the blue folder to the meeting room at four o'clock.",
             "We measured every chunk of the recording against the talker's true direction.")


def talker(work):
    """Sentences by two voices with 1.5 s pauses between them, 16 kHz, peak 0.5."""
    parts = []
    for i, (voice, text) in enumerate(zip(('en-us', 'en-gb', 'en-us+f3'), SENTENCES)):
        raw, wav = os.path.join(work, 's%d.wav' % i), os.path.join(work, 's%d_16k.wav' % i)
        subprocess.run(['espeak-ng', '-v', voice, '-s', '150', '-w', raw, text], check=True)
        subprocess.run(['sox', raw, '-r', '16000', '-b', '16', '-c', '1', '-t', 'wavpcm', wav], check=True)
        parts += [np.zeros(int(1.5 * da.RATE)), da.read_wav_channel0(wav)]
    x = np.concatenate(parts + [np.zeros(int(1.0 * da.RATE))])
    return 0.5 * x / np.abs(x).max()


def scene(speech, size, centre, rt60, angle, noise, rng, cache):
    at, truth = da.talker_position(centre, size, angle, DISTANCE)
    seconds = min(0.9 * rt60 + 0.1, 0.6)
    x = da.convolve(speech, da.room_impulse_responses(angle, rng, size, centre, rt60=rt60, source_at=at, seconds=seconds))
    power = np.mean(x ** 2)
    if noise == 'quiet':
        return x + rng.normal(0, np.sqrt(power / 10 ** 2.5), x.shape), truth
    key = (tuple(size), rt60)
    if key not in cache:
        cache[key] = da.room_impulse_responses(0.0, rng, size, centre, rt60=rt60, source_at=da.noise_source_at(size),
                                               seconds=seconds)
    return (x + da.scaled(da.convolve(da.fan_noise(len(speech), rng), cache[key]), power, da.POINT_NOISE_SNR)
            + da.scaled(da.diffuse_noise(len(speech), rng), power, 10) + rng.normal(0, np.sqrt(power / 1e3), x.shape)), truth


def share(part, whole):
    return '%5.1f%% (%d/%d)' % (100.0 * part / whole, part, whole) if whole else '    -'


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    tool = os.path.abspath(sys.argv[1])
    flags = sys.argv[2:]
    quick = '--quick' in flags
    dump = open(flags[flags.index('--dump') + 1], 'w') if '--dump' in flags else None
    rts = (0.3, 0.6) if '--hard' in flags else (0.3,)
    rooms = da.ROOMS[1:] if quick else da.ROOMS
    noises = ('quiet',) if quick else ('quiet', 'noisy')
    angles = (-50, -18, 16, 50) if quick else ANGLES
    rng = np.random.default_rng(35)
    rows, speech_rows = [], []
    with tempfile.TemporaryDirectory() as work:
        speech = talker(work)
        loud = np.add.reduceat(speech ** 2, np.arange(0, len(speech) - CHUNK + 1, CHUNK))[:len(speech) // CHUNK]
        speaking = loud >= 0.01 * loud.max()
        quiet = loud <= 1e-6 * loud.max()
        # A pause from 0.4 s after the talker stops: the room's echo has gone by then.
        silent = np.array([quiet[max(0, i - 6):i + 1].all() for i in range(len(quiet))])
        cache = {}
        for name, size, centre in rooms:
            for rt60 in rts:
                for noise in noises:
                    for angle in angles:
                        channels, truth = scene(speech, size, centre, rt60, angle, noise, rng, cache)
                        wav, lines = os.path.join(work, 'scene.wav'), os.path.join(work, 'lines.jsonl')
                        da.write_wav32(wav, channels)
                        subprocess.run([tool, '--input-wav', wav, '--beamformed', os.path.join(work, 'beam.wav'),
                                        '--event', os.path.join(work, 'event.json'), '--log', '',
                                        '--directions-out', lines, '--mic-positions',
                                        ','.join('%g' % m for m in da.MICS)], check=True, stdout=subprocess.DEVNULL)
                        got = [json.loads(line) for line in open(lines)][:len(speaking)]
                        angle_of = np.array([j['angle_degrees'] for j in got])[speaking[:len(got)]]
                        right = np.abs(angle_of - truth) <= 10
                        low = np.array([j['low_confidence'] for j in got])[speaking[:len(got)]]
                        rows.append((rt60, noise, angle, right, low))
                        speech_rows.append((np.array([j['speech'] for j in got]), speaking[:len(got)], silent[:len(got)]))
                        if dump:
                            for j in got:
                                dump.write('%s %.1f %s %d %.2f %d %.2f %d %.3f %d %d\n' % (
                                    name.split()[0], rt60, noise, angle, truth, j['chunk'], j['angle_degrees'],
                                    j['low_confidence'], j['confidence'], j['speech'], speaking[j['chunk'] - 1]))
    print('Speech chunks of a talker 2 m away, 1024-frame chunks with the half-second history; right: within 10'
          ' degrees. Spared: right chunks not flagged; flagged: wrong chunks flagged.')
    missed = []
    for rt60 in rts:
        for noise in noises:
            chosen = [r for r in rows if r[0] == rt60 and r[1] == noise]
            print('RT %.1f s, %s:' % (rt60, noise))
            for label, pick in (('negative', lambda a: a < 0), ('positive', lambda a: a > 0)) + tuple(
                    ('%+d' % a, (lambda a0: lambda a: a == a0)(a)) for a in angles):
                right = np.concatenate([r[3] for r in chosen if pick(r[2])])
                low = np.concatenate([r[4] for r in chosen if pick(r[2])])
                spared, flagged = int((right & ~low).sum()), int((~right & low).sum())
                print('  %-9s right %5.1f%%, spared %s, wrong flagged %s' % (
                    label, 100.0 * right.mean(), share(spared, int(right.sum())), share(flagged, int((~right).sum()))))
                if label in ('negative', 'positive') and rt60 == 0.3:
                    if spared < 0.9 * right.sum():
                        missed.append('RT %.1f s, %s, %s side: %d of %d right chunks spared' % (
                            rt60, noise, label, spared, right.sum()))
                    if (~right).sum() >= 10 and flagged < 0.5 * (~right).sum():
                        missed.append('RT %.1f s, %s, %s side: %d of %d wrong chunks flagged' % (
                            rt60, noise, label, flagged, (~right).sum()))
    said = np.concatenate([s[0] for s in speech_rows])
    talking = np.concatenate([s[1] for s in speech_rows])
    pause = np.concatenate([s[2] for s in speech_rows])
    print('speech flag: set on %s of the talker\'s chunks, on %s of the pauses\' chunks' % (
        share(int((said & talking).sum()), int(talking.sum())), share(int((said & pause).sum()), int(pause.sum()))))
    if (said & talking).sum() < 0.8 * talking.sum() or (said & pause).sum() > 0.1 * pause.sum():
        missed.append('speech flag outside its aims')
    if '--check' in flags and missed:
        sys.exit('targets missed:\n' + '\n'.join(missed))


if __name__ == '__main__':
    main()
