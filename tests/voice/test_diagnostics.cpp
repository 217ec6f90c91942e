// Channel levels, noise floor, level warnings and the logged diagnostics block.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "v1_util.h"
#include "wav.h"

namespace {

WavData make_audio(int32_t rate, std::vector<std::vector<double>> channels) {
    WavData wav;
    wav.sample_rate = rate;
    wav.channels = static_cast<int32_t>(channels.size());
    wav.bits_per_sample = 32;
    wav.samples = std::move(channels);
    return wav;
}

// A channel of `windows` 20 ms windows at 16000 Hz; window k holds the constant level[k] (its RMS).
std::vector<double> windowed(const std::vector<double> &levels, size_t tail = 0, double tail_level = 0.0) {
    std::vector<double> x;
    for (double level : levels) {
        x.insert(x.end(), 320, level);
    }
    x.insert(x.end(), tail, tail_level);
    return x;
}

std::vector<double> levels_from(double start, size_t count) {
    std::vector<double> levels;
    for (size_t k = 0; k < count; ++k) {
        levels.push_back(start + 0.01 * static_cast<double>(count - k));  // descending, so sorting matters
    }
    return levels;
}

TEST(ChannelLevels, NoChannelsGiveEmptyResults) {
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {}), "raw channel");
    EXPECT_TRUE(d.rms.empty());
    EXPECT_TRUE(d.peak.empty());
    EXPECT_TRUE(d.noise_floor.empty());
    EXPECT_TRUE(d.warnings.empty());
}

TEST(ChannelLevels, RmsAndPeakPerChannel) {
    const WavData audio = make_audio(16000, {{0.5, -0.5, 0.5, -0.5}, {0.0, 0.3, -0.4, 0.0}, {}});
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    ASSERT_EQ(d.rms.size(), 3u);
    EXPECT_DOUBLE_EQ(d.rms[0], 0.5);
    EXPECT_DOUBLE_EQ(d.peak[0], 0.5);
    EXPECT_DOUBLE_EQ(d.rms[1], 0.25);
    EXPECT_DOUBLE_EQ(d.peak[1], 0.4);
    EXPECT_EQ(d.rms[2], 0.0);
    EXPECT_EQ(d.peak[2], 0.0);
    EXPECT_EQ(d.noise_floor[2], 0.0);
    EXPECT_EQ(d.warnings, std::vector<std::string>{"raw channel 2 may be silent or dead"});
}

TEST(ChannelLevels, InputIsLeftUntouched) {
    const WavData audio = make_audio(16000, {windowed(levels_from(0.1, 25)), {-0.9, 0.9}});
    const WavData before = audio;
    diagnose_channels(audio, "raw channel");
    EXPECT_EQ(audio.samples, before.samples);
}

TEST(NoiseFloor, ChannelShorterThanOneWindowUsesItsRms) {
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {{0.3, -0.4}}), "x");
    EXPECT_DOUBLE_EQ(d.noise_floor[0], std::sqrt((0.09 + 0.16) / 2));
    EXPECT_DOUBLE_EQ(d.noise_floor[0], d.rms[0]);
}

TEST(NoiseFloor, QuietestWindowBelowTwentyWindows) {
    const std::vector<double> levels = levels_from(0.05, 19);  // smallest is 0.06, the last window
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {windowed(levels)}), "x");
    EXPECT_NEAR(d.noise_floor[0], 0.06, 1e-12);
}

TEST(NoiseFloor, MeanOfTheQuietestTenthFromTwentyWindows) {
    // 20 windows: the 2 smallest; 39 windows: the 3 smallest.
    ChannelDiagnostics d = diagnose_channels(make_audio(16000, {windowed(levels_from(0.05, 20))}), "x");
    EXPECT_NEAR(d.noise_floor[0], (0.06 + 0.07) / 2, 1e-12);
    d = diagnose_channels(make_audio(16000, {windowed(levels_from(0.05, 39))}), "x");
    EXPECT_NEAR(d.noise_floor[0], (0.06 + 0.07 + 0.08) / 3, 1e-12);
}

TEST(NoiseFloor, TrailingPartialWindowCountsOnlyForRmsAndPeak) {
    // 6500 samples at 16000 Hz: 20 full windows of 0.01 and 100 loud samples behind them.
    const std::vector<double> x = windowed(std::vector<double>(20, 0.01), 100, 0.9);
    ASSERT_EQ(x.size(), 6500u);
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {x}), "x");
    EXPECT_NEAR(d.noise_floor[0], 0.01, 1e-12);
    EXPECT_DOUBLE_EQ(d.peak[0], 0.9);
    EXPECT_NEAR(d.rms[0], std::sqrt((6400 * 1e-4 + 100 * 0.81) / 6500), 1e-12);
}

TEST(NoiseFloor, RatesBelowFiftyUseSingleSampleWindows) {
    std::vector<double> x;
    for (int i = 1; i <= 30; ++i) {
        x.push_back((i % 2 ? 1 : -1) * 0.01 * i);  // |x| = 0.01 .. 0.30
    }
    ChannelDiagnostics d = diagnose_channels(make_audio(40, {x}), "x");
    EXPECT_NEAR(d.noise_floor[0], (0.01 + 0.02 + 0.03) / 3, 1e-12);  // 30 windows, q = 3

    d = diagnose_channels(make_audio(0, {{-0.4, 0.2, -0.3}}), "x");
    EXPECT_NEAR(d.noise_floor[0], 0.2, 1e-12);
}

TEST(LevelWarnings, SilenceThresholdsAreStrict) {
    // RMS exactly 0.00005 with a peak of exactly 0.0002: neither comparison holds.
    std::vector<double> edge(16, 0.0);
    edge[3] = 0.0002;
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {edge}), "raw channel");
    ASSERT_EQ(d.rms[0], 0.00005);
    EXPECT_TRUE(d.warnings.empty());

    // Just under either threshold is silence.
    const WavData quiet = make_audio(16000, {std::vector<double>(16, 0.00019), std::vector<double>(400, 0.0)});
    const ChannelDiagnostics q = diagnose_channels(quiet, "processed channel");
    EXPECT_EQ(q.warnings, (std::vector<std::string>{"processed channel 0 may be silent or dead",
                                                    "processed channel 1 may be silent or dead"}));
}

TEST(LevelWarnings, PeakOfExactly0999IsClipping) {
    const WavData audio = make_audio(16000, {{0.5, -0.5}, {0.1, 0.2}, {0.3, -0.999}, {0.998, 0.1}});
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    EXPECT_EQ(d.warnings, std::vector<std::string>{"raw channel 2 may be clipping"});
}

TEST(LevelWarnings, OneFullScaleClickInASilentSecondIsClippingNotSilence) {
    // Its RMS, 1/sqrt(16000) = 0.0079, is far above the silence threshold: both warnings together
    // would need more than 4e8 samples of silence around the click.
    std::vector<double> x(16000, 0.0);
    x[8000] = -1.0;
    const ChannelDiagnostics d = diagnose_channels(make_audio(16000, {{0.2, 0.2}, x}), "beamformed channel");
    EXPECT_EQ(d.warnings, std::vector<std::string>{"beamformed channel 1 may be clipping"});
}

TEST(LevelWarnings, WarningsFollowChannelOrder) {
    const WavData audio = make_audio(16000, {{0.0001, -0.0001}, {0.999, 0.0}, {}});
    const ChannelDiagnostics d = diagnose_channels(audio, "raw channel");
    EXPECT_EQ(d.warnings, (std::vector<std::string>{"raw channel 0 may be silent or dead", "raw channel 1 may be clipping",
                                                    "raw channel 2 may be silent or dead"}));
}

TEST(LogDiagnostics, HeadingThenOneEightDecimalLinePerChannel) {
    v1::TempDir dir;
    ChannelDiagnostics d;
    d.rms = {0.0123456789, 0.0};
    d.peak = {0.5, 1.0};
    d.noise_floor = {0.000000004, 0.00000001};
    d.warnings = {"raw channel 1 may be silent or dead"};
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
    EXPECT_EQ(v1::read_bytes(dir.file("run.log")), expected);
}

TEST(BundledRecording, SpeechOverAQuietFloorOnFourLiveChannels) {
    v1::TempDir dir;
    ASSERT_EQ(v1::shell("bash " LUMIVAR_SOURCE_DIR "/scripts/make_demo_recording.sh " + v1::quote(dir.path)), 0);
    const WavData audio = read_wav(dir.file("kinect_array_speech.wav"));
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
    for (int c = 1; c < 4; ++c) {
        int best_lag = 0;
        double best = -1e300;
        for (int lag = -6; lag <= 6; ++lag) {
            double sum = 0.0;
            for (size_t i = 10; i + 10 < ref.size(); ++i) {
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

TEST(BundledRecording, SameBytesOnEveryRun) {
    v1::TempDir dir;
    const std::string script = "bash " LUMIVAR_SOURCE_DIR "/scripts/make_demo_recording.sh ";
    ASSERT_EQ(v1::shell(script + v1::quote(dir.file("a"))), 0);
    ASSERT_EQ(v1::shell(script + v1::quote(dir.file("b"))), 0);
    const std::string a = v1::read_bytes(dir.file("a/kinect_array_speech.wav"));
    EXPECT_GT(a.size(), 1000000u);
    EXPECT_TRUE(a == v1::read_bytes(dir.file("b/kinect_array_speech.wav")));
    EXPECT_NE(v1::shell(script + " 2>/dev/null"), 0);  // OUTDIR is required
}

}  // namespace
