// Channel levels, noise floor, level warnings, the logged block, and the bundled recording's levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "lag_search.h"
#include "voice_programs.h"
#include "wav.h"

using namespace voicetest;

namespace {

using Strings = std::vector<std::string>;

WavData make_audio(int32_t rate, std::vector<std::vector<double>> channels) {
    WavData wav;
    wav.sample_rate = rate;
    wav.channels = static_cast<int32_t>(channels.size());
    wav.bits_per_sample = 32;
    wav.samples = std::move(channels);
    return wav;
}

// `count` 20 ms windows at 16000 Hz of constant, falling levels 0.05 + 0.01 * (count - k), so the
// quietest windows come last; `tail` extra samples of `tail_level` follow.
std::vector<double> windows(size_t count, size_t tail = 0, double tail_level = 0.0) {
    std::vector<double> x;
    for (size_t k = 0; k < count; ++k) {
        x.insert(x.end(), 320, 0.05 + 0.01 * static_cast<double>(count - k));
    }
    x.insert(x.end(), tail, tail_level);
    return x;
}

double floor_of(const WavData &audio) { return diagnose_channels(audio, "x").noise_floor[0]; }

TEST(ChannelLevels, RmsPeakAndZerosForEmptyChannels) {
    EXPECT_EQ(diagnose_channels(make_audio(16000, {}), "raw channel").rms.size(), 0u);

    const WavData audio = make_audio(16000, {{0.5, -0.5, 0.5, -0.5}, {0.0, 0.3, -0.4, 0.0}, {}});
    const WavData before = audio;
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    EXPECT_EQ(audio.samples, before.samples);
    EXPECT_EQ(d.rms, (std::vector<double>{0.5, 0.25, 0.0}));
    EXPECT_EQ(d.peak, (std::vector<double>{0.5, 0.4, 0.0}));
    EXPECT_EQ(d.noise_floor[2], 0.0);
    EXPECT_EQ(d.warnings, Strings{"raw channel 2 may be silent or dead"});
}

// Every figure as defined, channel by channel and in sample order; the program measures a
// record's channels side by side, which must not change a single bit.
TEST(ChannelLevels, EqualTheirDefinitionsBitForBitOnEveryChannel) {
    std::vector<std::vector<double>> channels;
    std::mt19937 gen(31);
    for (std::size_t c = 0; c < 6; ++c) {  // five of one length, then a shorter one
        std::normal_distribution<double> noise(0.0, 0.01 * static_cast<double>(c + 1));
        std::vector<double> x(c < 5 ? 16000 + 123 : 5000);
        for (double &v : x) v = std::clamp(noise(gen), -1.0, 1.0);
        channels.push_back(x);
    }
    const WavData audio = make_audio(16000, channels);
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    ASSERT_EQ(d.rms.size(), channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c) {
        const std::vector<double> &x = channels[c];
        double total = 0.0, peak = 0.0;
        for (double v : x) total += v * v, peak = std::max(peak, std::fabs(v));
        std::vector<double> window_rms;
        for (std::size_t i = 0; i + 320 <= x.size(); i += 320) {
            double sum = 0.0;
            for (std::size_t k = i; k < i + 320; ++k) sum += x[k] * x[k];
            window_rms.push_back(std::sqrt(sum / 320.0));
        }
        std::sort(window_rms.begin(), window_rms.end());
        const std::size_t q = window_rms.size() / 10;
        double quiet = 0.0;
        for (std::size_t k = 0; k < q; ++k) quiet += window_rms[k];
        EXPECT_EQ(d.rms[c], std::sqrt(total / static_cast<double>(x.size()))) << c;
        EXPECT_EQ(d.peak[c], peak) << c;
        EXPECT_EQ(d.noise_floor[c], quiet / static_cast<double>(q)) << c;
    }
}

TEST(NoiseFloor, MeanOfTheQuietestTenthOfWholeWindows) {
    // Shorter than one window: the channel's own RMS.
    EXPECT_DOUBLE_EQ(floor_of(make_audio(16000, {{0.3, -0.4}})), std::sqrt(0.125));
    // Under 20 windows the quietest one; 20 windows the 2 quietest, 39 windows the 3 quietest.
    EXPECT_NEAR(floor_of(make_audio(16000, {windows(19)})), 0.06, 1e-12);
    EXPECT_NEAR(floor_of(make_audio(16000, {windows(20)})), 0.065, 1e-12);
    EXPECT_NEAR(floor_of(make_audio(16000, {windows(39)})), 0.07, 1e-12);
}

TEST(NoiseFloor, TrailingPartialWindowCountsOnlyForRmsAndPeak) {
    // 6500 samples: 20 whole windows, then 100 loud samples that belong to none.
    const std::vector<double> x = windows(20, 100, 0.9);
    ASSERT_EQ(x.size(), 6500u);
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {x}), "x");
    EXPECT_NEAR(d.noise_floor[0], 0.065, 1e-12);
    EXPECT_DOUBLE_EQ(d.peak[0], 0.9);
    double sum = 0.0;
    for (double v : x) {
        sum += v * v;
    }
    EXPECT_NEAR(d.rms[0], std::sqrt(sum / 6500), 1e-12);
}

TEST(NoiseFloor, RatesBelowFiftyUseSingleSampleWindows) {
    std::vector<double> x;
    for (int i = 1; i <= 30; ++i) {
        x.push_back((i % 2 ? 1 : -1) * 0.01 * i);  // |x| = 0.01 .. 0.30
    }
    EXPECT_NEAR(floor_of(make_audio(40, {x})), 0.02, 1e-12);  // 30 windows: the 3 smallest
    EXPECT_NEAR(floor_of(make_audio(0, {{-0.4, 0.2, -0.3}})), 0.2, 1e-12);
}

TEST(LevelWarnings, StrictSilenceThresholdsAndClippingFrom0999) {
    // RMS exactly 0.00005 with a peak of exactly 0.0002: neither silence comparison holds.
    std::vector<double> edge(16, 0.0);
    edge[3] = 0.0002;
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {edge}), "raw channel");
    ASSERT_EQ(d.rms[0], 0.00005);
    EXPECT_TRUE(d.warnings.empty());

    const WavData audio = make_audio(16000, {std::vector<double>(16, 0.00019), {0.998, 0.1}, {0.3, -0.999}, {}});
    EXPECT_EQ(diagnose_channels(audio, "processed channel").warnings,
              (Strings{"processed channel 0 may be silent or dead", "processed channel 2 may be clipping",
                       "processed channel 3 may be silent or dead"}));
}

TEST(LevelWarnings, OneFullScaleClickInASilentSecondIsClippingNotSilence) {
    // RMS 1/sqrt(16000) is far above 0.00005: silence and clipping together would take more
    // than 4e8 samples of silence around the click.
    std::vector<double> x(16000, 0.0);
    x[8000] = -1.0;
    EXPECT_EQ(diagnose_channels(make_audio(16000, {x}), "beamformed channel").warnings,
              Strings{"beamformed channel 0 may be clipping"});
}

TEST(LogDiagnostics, HeadingThenOneEightDecimalLinePerChannel) {
    TempDir dir;
    ChannelDiagnostics d;
    d.rms = {0.0123456789, 0.0};
    d.peak = {0.5, 1.0};
    d.noise_floor = {0.000000004, 0.00000001};
    d.warnings = {"raw channel 1 may be silent or dead"};  // not part of the block
    testing::internal::CaptureStdout();
    {
        Logger logger;
        logger.file.open(dir.file("run.log"));
        log_diagnostics(logger, "raw 4-channel levels (unmodified capture)", d);
        log_diagnostics(logger, "beamformed mono levels (from processed audio)", ChannelDiagnostics{});
    }
    const std::string expected =
        "raw 4-channel levels (unmodified capture) diagnostics:\n"
        "  channel 0: rms=0.01234568, peak=0.50000000, noise_floor=0.00000000\n"
        "  channel 1: rms=0.00000000, peak=1.00000000, noise_floor=0.00000001\n"
        "beamformed mono levels (from processed audio) diagnostics:\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(read_file(dir.file("run.log")), expected);
}

TEST(BundledRecording, SpeechOverAQuietFloorDelayedOneSamplePerChannel) {
    TempDir dir;
    const std::string script = "bash " LUMIVAR_SOURCE_DIR "/scripts/make_demo_recording.sh ";
    ASSERT_EQ(shell(script + quote(dir.file("a")) + " && " + script + quote(dir.file("b"))), 0);
    const std::string path = dir.file("a/kinect_array_speech.wav");
    EXPECT_TRUE(read_file(path) == read_file(dir.file("b/kinect_array_speech.wav")));  // reproducible
    EXPECT_NE(shell(script + " 2>/dev/null"), 0);                                      // OUTDIR required

    const WavData audio = read_wav(path);
    ASSERT_EQ(audio.channels, 4);
    EXPECT_EQ(audio.sample_rate, 16000);
    EXPECT_EQ(audio.bits_per_sample, 32);
    EXPECT_GT(audio.samples[0].size(), 3u * 16000);
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    EXPECT_TRUE(d.warnings.empty()) << d.warnings.front();
    for (int c = 0; c < 4; ++c) {
        // About -64 dBFS of room noise under speech peaking near -6 dBFS.
        EXPECT_GT(d.noise_floor[c], 0.0003) << c;
        EXPECT_LT(d.noise_floor[c], 0.001) << c;
        EXPECT_GT(d.rms[c], 20 * d.noise_floor[c]) << c;
        EXPECT_GT(d.peak[c], 0.3) << c;
        EXPECT_LT(d.peak[c], 0.9) << c;
    }
    // Channel k hears the speech k samples after channel 0.
    const std::vector<double> &ref = audio.samples[0];
    for (size_t c = 1; c < 4; ++c) {
        size_t best_lag = 0;
        double best = -1e300;
        for (size_t lag = 0; lag <= 6; ++lag) {
            double sum = 0.0;
            for (size_t i = 0; i + 6 < ref.size(); ++i) {
                sum += ref[i] * audio.samples[c][i + lag];
            }
            if (sum > best) {
                best = sum;
                best_lag = lag;
            }
        }
        EXPECT_EQ(best_lag, c) << "channel " << c;
    }
}

}  // namespace
