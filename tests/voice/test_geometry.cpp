// The direction from the array's own geometry (--mic-positions), end to end through vocrin:
// broadband sound reaching the Kinect layout with known fractional delays, in batch and live mode.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "direction.h"
#include "direction_history.h"
#include "geometric_direction.h"
#include "geometric_direction.h"
#include "options.h"
#include "run_log.h"
#include "voice_programs.h"
#include "signals.h"
#include "simulated_array.h"
#include "steered_response.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

constexpr double kRate = 16000.0;
const std::vector<double> kKinect = {-0.113, 0.036, 0.076, 0.113};
const std::string kKinectText = "-0.113,0.036,0.076,0.113";
const std::string kMethod = "processed multi-pair centered cross-correlation, geometric angle from mic positions";

// Samples channel i lags channel 0 for a far source at `degrees` (positive: toward channel 0's
// end, so channel 3 hears it later), at 343 m/s.
double true_delay(std::size_t channel, double degrees) {
    return (kKinect[channel] - kKinect[0]) * std::sin(degrees * M_PI / 180.0) * kRate / 343.0;
}

// Interleaved 32-bit codes of 4 channels: a sum of sinusoids from 150 Hz to 7 kHz, which can be
// delayed exactly by any fraction of a sample, plus each channel's own faint noise (30 dB down).
// With an `echo_gain`, the same sound also arrives `echo_delay` samples later from `echo_degrees`.
std::vector<int32_t> array_codes(double degrees, std::size_t frames, double echo_degrees = 0.0, double echo_gain = 0.0,
                                 double echo_delay = 0.0) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> frequency(150.0, 7000.0), phase(0.0, 2 * M_PI);
    std::normal_distribution<double> noise(0.0, 0.003);
    std::vector<double> f(96), p(96);
    for (std::size_t k = 0; k < f.size(); ++k) f[k] = frequency(gen), p[k] = phase(gen);
    std::vector<int32_t> codes(frames * 4);
    for (std::size_t c = 0; c < 4; ++c) {
        const double delay = true_delay(c, degrees), echo = echo_delay + true_delay(c, echo_degrees);
        for (std::size_t t = 0; t < frames; ++t) {
            double x = 0.0;
            for (std::size_t k = 0; k < f.size(); ++k) {
                x += std::sin(2 * M_PI * f[k] * (t - delay) / kRate + p[k]);
                if (echo_gain != 0.0) x += echo_gain * std::sin(2 * M_PI * f[k] * (t - echo) / kRate + p[k]);
            }
            codes[t * 4 + c] = static_cast<int32_t>(std::lround((x * 0.01 / (1.0 + echo_gain) + noise(gen)) * 2147483648.0 * 0.5));
        }
    }
    return codes;
}

WavData array_audio(const std::vector<int32_t> &codes) {
    const std::size_t frames = codes.size() / 4;
    WavData audio{16000, 4, 32, std::vector<std::vector<double>>(4, std::vector<double>(frames))};
    for (std::size_t t = 0; t < frames; ++t)
        for (std::size_t c = 0; c < 4; ++c) audio.samples[c][t] = codes[t * 4 + c] / 2147483648.0;
    return audio;
}

void write_array_wav(const std::string &path, const std::vector<int32_t> &codes) {
    const std::vector<unsigned char> data = s32le_bytes(codes);
    write_file(path, riff(fmt_chunk(1, 4, 16000, 32) + chunk("data", std::string(data.begin(), data.end()))));
}

// The value after "key: " on the first line that starts with it; NaN when there is none.
double value_after(const std::vector<std::string> &lines, const std::string &key) {
    for (const std::string &line : lines) {
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size()));
    }
    return NAN;
}

// The beam's log line when each channel is read at its own true delay, rounded.
std::string steered_lags_line(double degrees) {
    std::string lags = "beamforming_lags: [";
    for (std::size_t c = 0; c < 4; ++c) lags += (c ? ", " : "") + std::to_string(std::lround(true_delay(c, degrees)));
    return lags + "]";
}

bool has_line(const std::vector<std::string> &lines, const std::string &wanted) {
    for (const std::string &line : lines) {
        if (line == wanted) return true;
    }
    return false;
}

}  // namespace

// Angles on both sides and beyond 49 degrees, where whole lags within +-8 can no longer reach:
// the angle, the measured delay, the whole lag, the manifest and the steered beam all follow
// from the geometry. Chosen so that no channel's delay lies near half a sample.
TEST(GeometricDirection, KnownFractionalDelaysGiveTheAngleDelayLagManifestAndSteeringInBatch) {
    TempDir dir;
    for (const double degrees : {-72.0, -40.0, 0.0, 20.0, 62.0, 80.0}) {
        const std::string name = std::to_string(static_cast<int>(degrees));
        const std::string wav = dir.file(name + ".wav");
        write_array_wav(wav, array_codes(degrees, 16000));
        const RunResult r = run({VOCRIN_BIN, "--input-wav", wav, "--mic-positions", kKinectText, "--beamformed",
                                 dir.file("beam.wav"), "--event", dir.file("event.json"), "--log", dir.file("run.log")},
                                dir.path);
        ASSERT_EQ(r.status, 0) << name << r.err;
        const std::vector<std::string> log = split_lines(read_file(dir.file("run.log")));

        const double delay = value_after(log, "direction_delay_samples_ch0_to_ch3: ");
        EXPECT_NEAR(delay, true_delay(3, degrees), 0.08) << name;
        EXPECT_NEAR(value_after(log, "direction_angle_degrees: "), degrees, 1.5) << name;
        EXPECT_LE(std::fabs(value_after(log, "direction_lag_samples_ch0_to_ch3: ") - delay), 1.0) << name;
        EXPECT_TRUE(has_line(log, "direction_method: " + kMethod)) << name;
        EXPECT_TRUE(has_line(log, "direction_low_confidence: false")) << name;

        EXPECT_TRUE(has_line(log, steered_lags_line(degrees))) << name;

        const std::string manifest = read_file(dir.file("event.json"));
        // The log's six decimals rounded again to five can differ in the last digit from the manifest's own rounding.
        const std::string key = "    \"direction_delay_samples\": ";
        const std::size_t at = manifest.find(key);
        ASSERT_NE(at, std::string::npos) << name << manifest;
        EXPECT_NEAR(std::stod(manifest.substr(at + key.size())), delay, 6e-6) << name << manifest;
        EXPECT_NE(manifest.find("  \"direction_method\": \"" + kMethod + "\",\n"), std::string::npos) << name;
    }

    // The same row given from its other end (decreasing positions) keeps the sign: the sound
    // still reaches channel 3 later.
    const RunResult mirrored =
        run({VOCRIN_BIN, "--input-wav", dir.file("62.wav"), "--mic-positions", "0.113,-0.036,-0.076,-0.113",
             "--beamformed", dir.file("beam.wav"), "--event", dir.file("event.json"), "--log", dir.file("run.log")},
            dir.path);
    ASSERT_EQ(mirrored.status, 0) << mirrored.err;
    const std::vector<std::string> log = split_lines(read_file(dir.file("run.log")));
    EXPECT_NEAR(value_after(log, "direction_angle_degrees: "), 62.0, 1.5);
    EXPECT_TRUE(has_line(log, steered_lags_line(62.0)));
}

// One live chunk of a quarter second from the simulated array: the status line carries the
// geometric angle and the delay, and the start-up lines name the method.
TEST(GeometricDirection, LiveChunksCarryTheGeometricAngleAndDelay) {
    TempDir dir;
    write_simulated_array_config(dir.path);
    write_file(dir.file("array.raw"), s32le_bytes(array_codes(-55.0, 8192)));
    const pid_t pid = spawn({VOCRIN_BIN, "--live", "--log", dir.file("live.log"), "--live-duration", "1",
                             "--live-chunk-frames", "4096", "--pcm-output", dir.file("mic.pcm"), "--mic-positions",
                             kKinectText},
                            {{"HOME", dir.path}, {"MIC4_INFILE", dir.file("array.raw")}}, dir.file("stdout.txt"),
                            dir.file("stderr.txt"));
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 60), 0)) << read_file(dir.file("stderr.txt"));
    const std::vector<std::string> log = split_lines(read_file(dir.file("live.log")));
    EXPECT_TRUE(has_line(log, "live direction_method: " + kMethod));
    std::string status;
    for (const std::string &line : log) {
        if (line.rfind("live chunk=1 ", 0) == 0) status = line;
    }
    ASSERT_FALSE(status.empty()) << read_file(dir.file("live.log"));
    const std::size_t angle_at = status.find(" direction_angle="), delay_at = status.find(" direction_delay_samples=");
    ASSERT_NE(angle_at, std::string::npos);
    ASSERT_NE(delay_at, std::string::npos) << status;
    EXPECT_NEAR(std::stod(status.substr(angle_at + 17)), -55.0, 1.5) << status;
    EXPECT_NEAR(std::stod(status.substr(delay_at + 25)), true_delay(3, -55.0), 0.08) << status;
}

// The geometric searches add plain products in one pass; their scores must still be the
// mean-centred Pearson correlations, also on channels with a large offset, where a careless
// one-pass sum loses its digits.
TEST(GeometricDirection, ScoresKeepThePearsonDefinitionOverThePhysicalLagRanges) {
    WavData audio = array_audio(array_codes(35.0, 3000));
    for (std::vector<double> &channel : audio.samples)
        for (double &u : channel) u += 0.4;
    const DirectionEstimate e = estimate_direction_geometric(audio, "processed", kKinect);

    // Best and second-best score of a pair over -limit .. limit, as the lag search defines them.
    struct Search {
        int lag = 0;
        double best = -1.0, second = -1.0;
    };
    const auto search = [&](std::size_t a, std::size_t b, int limit) {
        Search s;
        for (int lag = -limit; lag <= limit; ++lag) {
            const double r = reference_correlation(audio.samples[a], audio.samples[b], lag);
            if (r > s.best) s.second = s.best, s.best = r, s.lag = lag;
            else s.second = std::max(s.second, r);
        }
        return s;
    };
    const Search outer = search(0, 3, 12), p01 = search(0, 1, 8), p12 = search(1, 2, 3), p23 = search(2, 3, 3);
    EXPECT_EQ(e.lag_samples, outer.lag);
    EXPECT_NEAR(e.peak_correlation, outer.best, 1e-9);
    EXPECT_NEAR(e.second_correlation, outer.second, 1e-9);
    const double consistency = std::max(0.0, 1.0 - std::abs(outer.lag - (p01.lag + p12.lag + p23.lag)) * 0.125);
    EXPECT_NEAR(e.lag_consistency, consistency, 1e-12);
    // The confidence is the steered response's (whitened spectra ignore the offset).
    SteeredDirection found;
    ASSERT_TRUE(steered_direction(whitened_pair_spectra(audio.samples), geometric_delays(kKinect, 90.0, 16000), found));
    EXPECT_NEAR(e.confidence, std::min(1.0, found.confidence), 1e-12);
}

// The six pairs' whitened correlations, evaluated here term by term over the frequencies
// -N/2 + 1 .. N/2 of the frame: the library's bin-by-bin correlation must agree to rounding, and
// its map (whole delays, interpolated) closely, at every candidate angle.
TEST(SteeredResponse, CorrelationAndMapAgreeWithADirectEvaluationOfEveryPair) {
    const PairSpectra spectra = whitened_pair_spectra(array_audio(array_codes(-35.0, 6000, 50.0, 0.6, 37.0)).samples);
    ASSERT_GT(spectra.frames, 0);
    const auto direct = [&](int pair, double delay) {
        const int n = kSteeringFrame;
        double sum = 0.0;
        for (int k = -n / 2 + 1; k <= n / 2; ++k) {
            const std::complex<double> g = spectra.bins[pair * kSteeringBins + std::abs(k)];
            sum += ((k < 0 ? std::conj(g) : g) * std::polar(1.0, 2 * M_PI * k * delay / n)).real();
        }
        return sum / (spectra.frames * n);
    };
    for (int pair = 0; pair < kMicPairs; ++pair)
        for (const double delay : {-10.6, -3.0, -0.25, 0.0, 0.4, 2.75, 7.3})
            EXPECT_NEAR(whitened_correlation(spectra, pair, delay), direct(pair, delay), 1e-9) << pair << " " << delay;

    const std::vector<double> travel = geometric_delays(kKinect, 90.0, 16000);
    for (const double sine : {-0.93, -0.2, 0.0, 0.57}) {  // the six pairs at once, as one by one
        double pairs[kMicPairs], mean = 0.0;
        const double response = steered_response_at(spectra, travel, sine, pairs);
        for (int pair = 0; pair < kMicPairs; ++pair) {
            const double one = whitened_correlation(spectra, pair, (travel[kPairSecond[pair]] - travel[kPairFirst[pair]]) * sine);
            EXPECT_NEAR(pairs[pair], one, 1e-12) << sine << " " << pair;
            mean += one / kMicPairs;
        }
        EXPECT_NEAR(response, mean, 1e-12) << sine;
    }
    SteeredDirection none;  // no frame heard, or an array too wide for the frame: no angle
    EXPECT_FALSE(steered_direction(PairSpectra(), travel, none));
    EXPECT_FALSE(steered_direction(spectra, geometric_delays({-0.113, 0.036, 0.076, 3.0}, 90.0, 16000), none));
    const std::vector<double> sines = candidate_sines(travel);
    ASSERT_EQ(sines.front(), -1.0);
    ASSERT_EQ(sines.back(), 1.0);
    EXPECT_LE((sines[1] - sines[0]) * travel[3], 0.25);  // a quarter sample of the outer pair per step
    const std::vector<double> map = steered_response_map(spectra, travel, sines);
    ASSERT_EQ(map.size(), sines.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < sines.size(); ++i) {
        double mean = 0.0;
        for (int pair = 0; pair < kMicPairs; ++pair)
            mean += direct(pair, (travel[kPairSecond[pair]] - travel[kPairFirst[pair]]) * sines[i]) / kMicPairs;
        worst = std::max(worst, std::fabs(map[i] - mean));
    }
    EXPECT_LT(worst, 0.01);
}

// A reflection 2.3 ms after the direct sound, from the other side, at 0.8 of its strength or as
// strong (its lobe then tops the direct sound's): the angle is the direct sound's or the estimate
// says it is not to be trusted; without the reflection the same sound is found and trusted.
TEST(SteeredResponse, AReflectionThatRivalsTheDirectSoundIsFoundOrFlagged) {
    for (const double echo_gain : {0.8, 1.0}) {
        for (const double echo_degrees : {40.0, -70.0}) {
            const DirectionEstimate e = estimate_direction_geometric(
                array_audio(array_codes(-20.0, 16000, echo_degrees, echo_gain, 37.0)), "processed", kKinect);
            EXPECT_TRUE(std::fabs(e.angle_degrees + 20.0) <= 5.0 || e.low_confidence)
                << echo_gain << " " << echo_degrees << ": " << e.angle_degrees << " confidence " << e.confidence;
        }
    }
    const DirectionEstimate clean = estimate_direction_geometric(array_audio(array_codes(-20.0, 16000)), "processed", kKinect);
    EXPECT_NEAR(clean.angle_degrees, -20.0, 0.5);
    EXPECT_FALSE(clean.low_confidence);
}

// Live mode's confidence is the chance of lying within 10 degrees: alike for an angle and its
// mirror, rising with the margin, the wide pairs' correlation and the angle's sine, and nothing
// without a positive response. A clean sound from either side, one live chunk with its history,
// is trusted, and the flag is the chance below 0.7.
TEST(SteeredResponse, LiveChanceIsAlikeOnBothSidesAndFlagsBelowItsThreshold) {
    SteeredDirection found;
    found.sine = 0.77, found.response = 0.2, found.rival = 0.12, found.wide_pairs = 0.1;
    const double chance = chance_within_10_degrees(found);
    EXPECT_GT(chance, 0.0);
    EXPECT_LT(chance, 1.0);
    SteeredDirection changed = found;
    changed.sine = -0.77;
    EXPECT_DOUBLE_EQ(chance_within_10_degrees(changed), chance);
    changed = found, changed.rival = 0.08;
    EXPECT_GT(chance_within_10_degrees(changed), chance);
    changed = found, changed.rival = -0.3;  // a map below zero away from the sound: no rival at all
    EXPECT_DOUBLE_EQ(chance_within_10_degrees(changed), [&] { SteeredDirection none = found; none.rival = 0.0; return chance_within_10_degrees(none); }());
    changed = found, changed.wide_pairs = 0.15;
    EXPECT_GT(chance_within_10_degrees(changed), chance);
    changed = found, changed.sine = 0.3;
    EXPECT_LT(chance_within_10_degrees(changed), chance);
    for (const double response : {0.0, -0.05}) {
        changed = found, changed.response = response;
        EXPECT_EQ(chance_within_10_degrees(changed), 0.0) << response;
    }
    for (const double degrees : {-50.0, 50.0}) {
        DirectionHistory history = direction_history(1024, 16000);
        const DirectionEstimate e =
            estimate_direction_geometric(array_audio(array_codes(degrees, 1024)), "processed-live", kKinect, &history);
        EXPECT_NEAR(e.angle_degrees, degrees, 1.0);
        EXPECT_GE(e.confidence, kLiveTrustedChance) << degrees;
        EXPECT_FALSE(e.low_confidence) << degrees;
    }
}

// Channels whose delays no single direction explains (0, -3, 9 and 11 samples): the estimate is
// flagged and the beam aligns each channel with channel 0 within what its distance allows, beyond
// the +-8 samples of the whole-sample fallback; the manifest carries those lags.
TEST(SteeredResponse, AnUntrustedEstimateFallsBackToEachChannelsOwnGeometricSearchEndToEnd) {
    TempDir dir;
    const WavData noise = delayed_array(white_noise(16000, 41), {0, -3, 9, 11}, 0.01, 42);
    std::vector<int32_t> codes(noise.samples[0].size() * 4);
    for (std::size_t t = 0; t < noise.samples[0].size(); ++t)
        for (std::size_t c = 0; c < 4; ++c) codes[t * 4 + c] = static_cast<int32_t>(std::lround(noise.samples[c][t] * 1e9));
    write_array_wav(dir.file("odd.wav"), codes);
    const RunResult r = run({VOCRIN_BIN, "--input-wav", dir.file("odd.wav"), "--mic-positions", kKinectText, "--beamformed",
                             dir.file("beam.wav"), "--event", dir.file("event.json"), "--log", dir.file("run.log")},
                            dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> log = split_lines(read_file(dir.file("run.log")));
    EXPECT_TRUE(has_line(log, "direction_low_confidence: true"));
    EXPECT_TRUE(has_line(log, "beamforming_lags: [0, -3, 9, 11]"));
    EXPECT_NE(read_file(dir.file("event.json")).find("\"beamforming_lags\": [0, -3, 9, 11]"), std::string::npos);
}

// Live mode's half second: eight chunks of 1024 frames at 16 kHz; the oldest goes first, a chunk
// 20 dB below the loudest held is left out, and when all are that quiet they all count.
TEST(DirectionHistory, HoldsHalfASecondAndLeavesPausesOut) {
    EXPECT_EQ(direction_history(1024, 16000).length, 8u);
    EXPECT_EQ(direction_history(4096, 16000).length, 2u);
    EXPECT_EQ(direction_history(20000, 16000).length, 1u);
    const auto chunk = [](double energy, double bin) {
        PairSpectra s;
        s.frames = 2, s.energy = 2 * energy;
        s.bins[1] = bin;
        return s;
    };
    DirectionHistory history = direction_history(1024, 16000);
    PairSpectra sum;
    for (int i = 0; i < 8; ++i) sum = remember_spectra(history, chunk(1e-6, 1.0));
    EXPECT_EQ(sum.frames, 16);  // all quiet: all count
    EXPECT_EQ(sum.bins[1], std::complex<double>(8.0));
    sum = remember_spectra(history, chunk(1.0, 10.0));
    EXPECT_EQ(history.chunks.size(), 8u);
    EXPECT_EQ(sum.frames, 2);  // the quiet ones are pauses now
    EXPECT_EQ(sum.bins[1], std::complex<double>(10.0));
    sum = remember_spectra(history, chunk(0.02, 100.0));
    EXPECT_EQ(sum.frames, 4);
    EXPECT_EQ(sum.bins[1], std::complex<double>(110.0));
    for (int i = 0; i < 7; ++i) sum = remember_spectra(history, chunk(0.02, 1.0));
    EXPECT_EQ(sum.frames, 16);  // the loud chunk has left the half second: the rest count
    EXPECT_EQ(sum.bins[1], std::complex<double>(107.0));
}

// The sum a live chunk's estimate rests on is kept up to date chunk by chunk; over a long run of
// talk and pauses (chunks changing sides as the loudest comes and goes) it must stay the sum of
// exactly the chunks held that count, as summed afresh.
TEST(DirectionHistory, TheRunningSumIsTheSumOfTheChunksThatCount) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_int_distribution<int> loudness(0, 3);
    DirectionHistory history = direction_history(1024, 16000);
    for (int i = 0; i < 60; ++i) {
        PairSpectra s;
        s.frames = 2, s.energy = 2.0 * std::pow(10.0, -2.0 * loudness(gen));  // 0, -20, -40, -60 dB
        for (std::complex<double> &bin : s.bins) bin = {value(gen), value(gen)};
        const PairSpectra sum = remember_spectra(history, s);
        double loudest = 0.0;
        for (const PairSpectra &c : history.chunks) loudest = std::max(loudest, c.energy / c.frames);
        PairSpectra fresh;
        for (const PairSpectra &c : history.chunks) {
            if (c.energy / c.frames >= 0.01 * loudest) add_pair_spectra(fresh, c);
        }
        ASSERT_EQ(sum.frames, fresh.frames) << i;
        ASSERT_NEAR(sum.energy, fresh.energy, 1e-12) << i;
        double worst = 0.0;
        for (std::size_t k = 0; k < sum.bins.size(); ++k) worst = std::max(worst, std::abs(sum.bins[k] - fresh.bins[k]));
        ASSERT_LT(worst, 1e-12) << i;
    }
}

// Every frequency of a frame weighs one in every pair, at any level (145 orders of magnitude
// below or above one, where the four magnitudes' product leaves the range of doubles), with two
// channels silent (their pairs then get nothing; they are one transform's two: each channel is
// taken out of sums with its partner, so beside a loud partner it keeps that one's rounding), and
// at any offset (the DC bin is left out).
TEST(SteeredResponse, WhiteningGivesEveryFrequencyUnitWeightWhateverTheChannelsLevels) {
    for (const std::vector<double> &level : {std::vector<double>{1.0, 1.0, 1.0, 1.0}, {1e-145, 1e-145, 1e-145, 1e-145},
                                             {1e145, 1e145, 1e145, 1e145}, {1.0, 1.0, 0.0, 0.0}}) {
        std::vector<std::vector<double>> channels;
        for (unsigned c = 0; c < 4; ++c) {
            channels.push_back(white_noise(kSteeringFrame, 11 + c));
            for (double &u : channels.back()) u = u * level[c] + (c == 3 ? 0.5 * level[c] : 0.0);
        }
        const PairSpectra spectra = whitened_pair_spectra(channels);
        ASSERT_EQ(spectra.frames, 1);
        for (int p = 0; p < kMicPairs; ++p) {
            const bool silent = level[kPairFirst[p]] == 0.0 || level[kPairSecond[p]] == 0.0;
            EXPECT_EQ(std::abs(spectra.bins[p * kSteeringBins]), 0.0) << p;
            for (int k = 1; k < kSteeringBins; ++k) {
                ASSERT_NEAR(std::abs(spectra.bins[p * kSteeringBins + k]), silent ? 0.0 : 1.0, 1e-12)
                    << level[0] << " " << level[2] << " pair " << p << " bin " << k;
            }
        }
    }
}

// A recording with pauses: each microphone's own faint noise throughout and, in its middle second,
// a loud sound from 30 degrees with frequencies from 2.5 to 3.5 kHz only. The pauses set the
// floor, so the frequencies where the loud frames hold only that noise count for nothing and the
// sound's own count fully. A live chunk (two frames, the first a third as loud) has no floor: both
// frames count in every frequency.
TEST(SteeredResponse, FrequenciesNoLouderThanThePausesCountForNothingExceptInALiveChunk) {
    std::vector<std::vector<double>> channels;
    for (unsigned c = 0; c < 4; ++c) {
        channels.push_back(white_noise(32000, 21 + c, 0.001));
        for (std::size_t t = 16 * kSteeringFrame; t < 48 * kSteeringFrame; ++t)  // whole frames: no onset click
            for (int k = 0; k < 24; ++k)
                channels[c][t] += 0.01 * std::sin(2 * M_PI * (2500 + 43 * k) * (t - true_delay(c, 30.0)) / kRate + k);
    }
    const PairSpectra spectra = whitened_pair_spectra(channels);
    const auto mean_magnitude = [&](int from, int to) {
        double sum = 0.0;
        for (int k = from; k < to; ++k) sum += std::abs(spectra.bins[k]) / (to - from);  // pair 0-1
        return sum;
    };
    EXPECT_GT(mean_magnitude(84, 108), 10.0);  // 2.6 to 3.4 kHz
    EXPECT_LT(mean_magnitude(1, 48), 0.1);    // below 1.5 kHz
    EXPECT_LT(mean_magnitude(160, kSteeringBins), 0.1);  // above 5 kHz

    std::vector<std::vector<double>> chunk(4, white_noise(2 * kSteeringFrame, 3));
    for (std::vector<double> &x : chunk) std::for_each(x.begin(), x.begin() + kSteeringFrame, [](double &u) { u /= 3; });
    const PairSpectra live = whitened_pair_spectra(chunk);
    ASSERT_EQ(live.frames, 2);
    for (int k = 1; k < kSteeringBins; ++k) ASSERT_NEAR(live.bins[k].real(), 2.0, 1e-9) << k;
}

// The lobes a map offers: local maxima only (not the falling sides of the highest), at most three,
// none below half the highest.
TEST(SteeredResponse, MapPeaksAreTheHighestLobesNotTheirSides) {
    EXPECT_EQ(map_peaks({0.0, 1.0, 3.0, 2.0, 1.0, 2.5, 0.0}), (std::vector<std::size_t>{2, 5}));
    EXPECT_EQ(map_peaks({2.0, 1.0, 1.2, 1.0, 3.0, 3.0, 0.5, 1.4}), (std::vector<std::size_t>{5, 0}));
    EXPECT_EQ(map_peaks({1.0, 0.0, 0.9, 0.0, 0.8, 0.0, 0.7}), (std::vector<std::size_t>{0, 2, 4}));
}
