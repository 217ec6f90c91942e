#!/usr/bin/python3
"""Direction accuracy of `vocrin` on simulated recordings of the Kinect v2 array.

Speech (channel 0 of the bundled recording, scripts/make_demo_recording.sh) arrives at the
microphone row from -80 to +80 degrees in 10-degree steps, in two settings:
  free field:  exact fractional delays (phase shifts), white noise at 30 dB SNR;
  room:        a 7 x 6 x 3 m shoebox, image-source model with a reverberation time of about
               0.4 s (Sabine), source 2 m from the array, white noise at 20 dB SNR.
Each recording is written as a 4-channel 32-bit 16 kHz WAV and analysed by vocrin twice: with
the whole-sample estimate (no option) and with --mic-positions. For each estimate it prints the
mean and largest absolute error and the share of angles within 5 and 10 degrees. With
--refinements it also compares sub-sample refinements of the outer pair's delay in numpy (a
parabola through the Pearson peak, as vocrin does, against GCC-PHAT interpolated 16 times).

  python3 bench/voice/direction_accuracy.py VOCRIN [--refinements] [--check]

With --check it exits with status 1 when the geometric estimate misses its targets: free field
mean error at most 2 degrees and largest at most 5; room mean at most 8 and every angle within
10 degrees (a test runs it so).

SNR is the ratio of the mean signal power over the whole file (pauses included) to the noise
power, per channel."""
import os, re, struct, subprocess, sys, tempfile
import numpy as np

RATE = 16000
C = 343.0
MICS = np.array([-0.113, 0.036, 0.076, 0.113])  # metres along the row, channel order
ANGLES = list(range(-80, 81, 10))
ROOM = np.array([7.0, 6.0, 3.0])
ARRAY_CENTRE = np.array([3.5, 2.0, 1.2])
SOURCE_DISTANCE = 2.0
RT60 = 0.4


def read_wav_channel0(path):
    b = open(path, 'rb').read()
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(b):
        cid = b[pos:pos + 4]; size = struct.unpack('<I', b[pos + 4:pos + 8])[0]
        if cid == b'fmt ': fmt = struct.unpack('<HHIIHH', b[pos + 8:pos + 24])
        if cid == b'data': data = (pos + 8, size)
        pos += 8 + size + (size & 1)
    ch, bits = fmt[1], fmt[5]
    n = data[1] // (ch * bits // 8)
    x = np.frombuffer(b, dtype={16: '<i2', 32: '<i4'}[bits], count=n * ch, offset=data[0])
    return x.reshape(n, ch)[:, 0].astype(np.float64) / 2.0 ** (bits - 1)


def write_wav32(path, channels):
    peak = np.abs(channels).max()
    codes = np.round(channels.T / peak * 0.5 * 2 ** 31).astype('<i4')
    pcm = codes.tobytes()
    n_ch = channels.shape[0]
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 36 + len(pcm)) + b'WAVEfmt ' +
                struct.pack('<IHHIIHH', 16, 1, n_ch, RATE, RATE * 4 * n_ch, 4 * n_ch, 32) +
                b'data' + struct.pack('<I', len(pcm)) + pcm)


def unit_towards(angle):
    # Positive angles lie toward channel 0's end, so channel 3 hears them later.
    t = np.radians(angle)
    return np.array([-np.sin(t), np.cos(t), 0.0])


def free_field(source, angle):
    delays = -MICS * unit_towards(angle)[0] / C * RATE  # samples behind the array's centre
    n = len(source) + 64
    spectrum = np.fft.rfft(source, n)
    f = np.fft.rfftfreq(n)
    return np.array([np.fft.irfft(spectrum * np.exp(-2j * np.pi * f * d), n)[:len(source)] for d in delays])


def room_impulse_responses(angle, rng):
    """Image-source responses from the source to each microphone, 0.5 s long, 16 kHz."""
    volume = ROOM.prod()
    surface = 2 * (ROOM[0] * ROOM[1] + ROOM[0] * ROOM[2] + ROOM[1] * ROOM[2])
    absorption = 0.161 * volume / (surface * RT60)
    beta = np.sqrt(1 - absorption)
    src = ARRAY_CENTRE + SOURCE_DISTANCE * unit_towards(angle)
    longest = 0.5 * C
    up = 8
    n_up = int(0.5 * RATE * up) + 64 * up
    orders = [int(np.ceil(longest / (2 * L))) + 1 for L in ROOM]
    grids = np.meshgrid(*[np.arange(-m, m + 1) for m in orders], [0, 1], [0, 1], [0, 1], indexing='ij')
    m = np.stack([g.ravel() for g in grids[:3]], axis=1)
    q = np.stack([g.ravel() for g in grids[3:]], axis=1)
    images = (1 - 2 * q) * src + 2 * m * ROOM
    reflections = (np.abs(m - q) + np.abs(m)).sum(axis=1)
    out = []
    for x in MICS:
        mic = ARRAY_CENTRE + np.array([x, 0.0, 0.0])
        d = np.linalg.norm(images - mic, axis=1)
        keep = d < longest
        t = d[keep] / C * RATE * up + 32 * up  # a lead-in, so the band limit's ringing does not wrap
        a = beta ** reflections[keep] / (4 * np.pi * d[keep])
        i = np.floor(t).astype(int); frac = t - i
        h_up = np.bincount(i, a * (1 - frac), n_up) + np.bincount(i + 1, a * frac, n_up)[:n_up]
        spectrum = np.fft.rfft(h_up)
        n = n_up // up
        out.append(np.fft.irfft(spectrum[:n // 2 + 1], n))
    return np.array(out)


def room(source, angle, rng):
    h = room_impulse_responses(angle, rng)
    n = len(source) + h.shape[1]
    size = 1 << int(np.ceil(np.log2(n)))
    s = np.fft.rfft(source, size)
    return np.array([np.fft.irfft(s * np.fft.rfft(hk, size), size)[:len(source)] for hk in h])


def with_noise(channels, snr_db, rng):
    power = np.mean(channels ** 2)
    sigma = np.sqrt(power / 10 ** (snr_db / 10))
    return channels + rng.normal(0, sigma, channels.shape)


def vocrin_angle(vocrin, wav, work, extra):
    log = os.path.join(work, 'run.log')
    subprocess.run([vocrin, '--input-wav', wav, '--beamformed', os.path.join(work, 'beam.wav'), '--event',
                    os.path.join(work, 'event.json'), '--log', log] + extra, check=True, stdout=subprocess.DEVNULL)
    text = open(log).read()
    return float(re.search(r'^direction_angle_degrees: (\S+)$', text, re.M).group(1))


def pearson_scores(a, b, max_lag):
    n = min(len(a), len(b)); r = []
    for L in range(-max_lag, max_lag + 1):
        xa, xb = (a[:n - L], b[L:n]) if L >= 0 else (a[-L:n], b[:n + L])
        da, db = xa - xa.mean(), xb - xb.mean()
        r.append((da * db).sum() / np.sqrt((da * da).sum() * (db * db).sum()))
    return np.array(r)


def parabola_delay(a, b, max_lag):
    r = pearson_scores(a, b, max_lag)
    k = int(np.argmax(r))
    if 0 < k < len(r) - 1:
        bend = r[k - 1] - 2 * r[k] + r[k + 1]
        if bend < 0: return k - max_lag + float(np.clip(0.5 * (r[k - 1] - r[k + 1]) / bend, -0.5, 0.5))
    return float(k - max_lag)


def phat_delay(a, b, max_lag, up=16):
    n = 1 << int(np.ceil(np.log2(2 * len(a))))
    cross = np.conj(np.fft.rfft(a, n)) * np.fft.rfft(b, n)
    cross /= np.maximum(np.abs(cross), 1e-12)
    cc = np.fft.irfft(cross, n * up)
    lags = np.arange(-max_lag * up, max_lag * up + 1)
    return float(lags[np.argmax(cc[lags % (n * up)])]) / up


def angle_of(delay):
    span = MICS[3] - MICS[0]
    return float(np.degrees(np.arcsin(np.clip(delay * C / (RATE * span), -1, 1))))


def summary(errors):
    e = np.abs(np.array(errors))
    return 'mean %5.2f, largest %5.2f, within 5 deg %2d/%d, within 10 deg %2d/%d' % (
        e.mean(), e.max(), (e <= 5).sum(), len(e), (e <= 10).sum(), len(e))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    vocrin = os.path.abspath(sys.argv[1]); refinements = '--refinements' in sys.argv[2:]
    check = '--check' in sys.argv[2:]
    missed = []
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    positions = ','.join('%g' % x for x in MICS)
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(['bash', os.path.join(top, 'scripts/make_demo_recording.sh'), work], check=True,
                       stdout=subprocess.DEVNULL)
        source = read_wav_channel0(os.path.join(work, 'kinect_array_speech.wav'))
        rng = np.random.default_rng(20)
        limit = int(np.ceil((MICS[3] - MICS[0]) * RATE / C)) + 1
        for name, make, snr in (('free field, 30 dB SNR', free_field, 30), ('room RT60 0.4 s, 20 dB SNR', room, 20)):
            errors = {'whole-sample (no option)': [], 'geometric (--mic-positions)': []}
            if refinements: errors.update({'numpy: Pearson + parabola': [], 'numpy: GCC-PHAT x16': []})
            rows = []
            for angle in ANGLES:
                channels = with_noise(make(source, angle, rng) if make is room else make(source, angle), snr, rng)
                wav = os.path.join(work, 'sim.wav')
                write_wav32(wav, channels)
                got = [vocrin_angle(vocrin, wav, work, []), vocrin_angle(vocrin, wav, work, ['--mic-positions', positions])]
                if refinements:
                    got += [angle_of(parabola_delay(channels[0], channels[3], limit)),
                            angle_of(phat_delay(channels[0], channels[3], limit))]
                for key, value in zip(errors, got): errors[key].append(value - angle)
                rows.append('%4d: ' % angle + '  '.join('%7.2f' % v for v in got))
            print('%s (angle: %s)' % (name, ', '.join(errors)))
            print('\n'.join(rows))
            for key, e in errors.items(): print('  %-28s %s' % (key + ':', summary(e)))
            geometric = np.abs(errors['geometric (--mic-positions)'])
            limits = (2.0, 5.0) if make is free_field else (8.0, 10.0)
            if geometric.mean() > limits[0] or geometric.max() > limits[1]:
                missed.append('%s: geometric mean %.2f (at most %g), largest %.2f (at most %g)' % (
                    name, geometric.mean(), limits[0], geometric.max(), limits[1]))
    if check and missed:
        sys.exit('targets missed:\n' + '\n'.join(missed))


if __name__ == '__main__':
    main()
