// The processing gain: applied to a copy, clamped to full scale, clipping reported per channel.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gain.h"
#include "wav.h"

namespace {

using Strings = std::vector<std::string>;

WavData make_audio(std::vector<std::vector<double>> channels) {
    WavData wav;
    wav.sample_rate = 16000;
    wav.channels = static_cast<int32_t>(channels.size());
    wav.bits_per_sample = 32;
    wav.samples = std::move(channels);
    return wav;
}

TEST(InputGain, ZeroDecibelsCopiesExactlyEvenAtFullScale) {
    const WavData raw = make_audio({{0.1, -0.999, 1.0, -1.0}, {0.3, 0.0, 1e-9, -0.5}});
    Strings warnings;
    const WavData out = apply_input_gain(raw, 0.0, warnings);
    EXPECT_EQ(out.samples, raw.samples);
    EXPECT_EQ(out.sample_rate, 16000);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.bits_per_sample, 32);
    EXPECT_TRUE(warnings.empty());  // exactly +-1.0 is not clipping
}

TEST(InputGain, ScalesByTenToTheGainOverTwentyAndNegativeGainNeverClips) {
    const WavData raw = make_audio({{0.5, -0.25}, {0.8, -1.0}});
    Strings warnings;
    const WavData quiet = apply_input_gain(raw, -60.0, warnings);
    EXPECT_NEAR(quiet.samples[0][0], 0.0005, 1e-15);
    EXPECT_NEAR(quiet.samples[1][1], -0.001, 1e-15);
    EXPECT_TRUE(warnings.empty());
    // +6 dB on 0.5 gives about 0.998: stored as it is and not counted.
    const WavData louder = apply_input_gain(raw, 6.0, warnings);
    EXPECT_NEAR(louder.samples[0][0], 0.5 * std::pow(10.0, 0.3), 1e-12);
    EXPECT_EQ(warnings, Strings{"input gain 6.0 dB caused processed-signal clipping; ch1 clipped_samples=2"});
}

TEST(InputGain, OnlyClippingChannelsAreListedInOrderAfterEarlierWarnings) {
    const WavData raw = make_audio({{0.1, -0.1, 0.2}, {0.5, -0.9, 0.7}, {-0.3, -0.26, 0.2}, {0.0, 0.24, -0.2}});
    const WavData before = raw;
    Strings warnings = {"earlier warning"};
    const WavData out = apply_input_gain(raw, 12.0, warnings);  // factor about 3.98
    EXPECT_EQ(raw.samples, before.samples);                       // the raw record is untouched
    EXPECT_EQ(warnings, (Strings{"earlier warning", "input gain 12.0 dB caused processed-signal clipping; "
                                                    "ch1 clipped_samples=3; ch2 clipped_samples=2"}));
    EXPECT_EQ(out.samples[1], (std::vector<double>{1.0, -1.0, 1.0}));
    EXPECT_EQ(out.samples[2][1], -1.0);
    EXPECT_NEAR(out.samples[2][2], 0.2 * std::pow(10.0, 0.6), 1e-12);
    EXPECT_NEAR(out.samples[3][1], 0.24 * std::pow(10.0, 0.6), 1e-12);
}

TEST(InputGain, EveryClippedSampleIsCountedAndGainHasOneDecimal) {
    const WavData raw = make_audio({std::vector<double>(37, 0.6), std::vector<double>(37, 0.5)});
    Strings warnings;
    const WavData out = apply_input_gain(raw, 5.96, warnings);
    EXPECT_EQ(out.samples[0], std::vector<double>(37, 1.0));
    EXPECT_EQ(warnings, Strings{"input gain 6.0 dB caused processed-signal clipping; ch0 clipped_samples=37"});
}

TEST(InputGain, NoChannelsGiveAnUnchangedCopy) {
    WavData raw = make_audio({});
    raw.sample_rate = 44100;
    Strings warnings;
    const WavData out = apply_input_gain(raw, 36.0, warnings);
    EXPECT_EQ(out.channels, 0);
    EXPECT_EQ(out.sample_rate, 44100);
    EXPECT_TRUE(out.samples.empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(InputGain, InPlaceVariantMatchesTheCopy) {
    const WavData raw = make_audio({{0.5, -0.7, 0.05}, {0.9, 0.0, -0.95}});
    Strings copy_warnings;
    Strings in_place_warnings;
    const WavData copied = apply_input_gain(raw, 3.0, copy_warnings);
    WavData in_place = raw;
    apply_input_gain_in_place(in_place, 3.0, in_place_warnings);
    EXPECT_EQ(in_place.samples, copied.samples);
    EXPECT_EQ(in_place_warnings, copy_warnings);
    EXPECT_EQ(copy_warnings.size(), 1u);
}

}  // namespace
