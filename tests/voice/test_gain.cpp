// The processing gain: applied to a copy, clamped to full scale, clipping reported per channel.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gain.h"
#include "wav.h"

namespace {

WavData make_audio(std::vector<std::vector<double>> channels) {
    WavData wav;
    wav.sample_rate = 16000;
    wav.channels = static_cast<int32_t>(channels.size());
    wav.bits_per_sample = 32;
    wav.samples = std::move(channels);
    return wav;
}

TEST(InputGain, ZeroDecibelsCopiesExactlyWithoutWarning) {
    const WavData raw = make_audio({{0.1, -0.999, 1.0, -1.0}, {0.3, 0.0, 1e-9, -0.5}});
    std::vector<std::string> warnings;
    const WavData out = apply_input_gain(raw, 0.0, warnings);
    EXPECT_EQ(out.samples, raw.samples);
    EXPECT_EQ(out.sample_rate, 16000);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.bits_per_sample, 32);
    EXPECT_TRUE(warnings.empty());
}

TEST(InputGain, ScalesByTenToTheGainOverTwenty) {
    const WavData raw = make_audio({{0.5, -0.25}, {0.8, -1.0}});
    std::vector<std::string> warnings;
    const WavData quiet = apply_input_gain(raw, -60.0, warnings);
    EXPECT_NEAR(quiet.samples[0][0], 0.0005, 1e-15);
    EXPECT_NEAR(quiet.samples[1][1], -0.001, 1e-15);
    const WavData louder = apply_input_gain(raw, 6.0, warnings);
    EXPECT_NEAR(louder.samples[0][0], 0.5 * std::pow(10.0, 0.3), 1e-12);  // about 0.998, kept as is
    EXPECT_LT(louder.samples[0][0], 1.0);
    EXPECT_EQ(warnings.size(), 1u);  // only the 6 dB call clipped (0.8 and -1.0)
}

TEST(InputGain, ClippedChannelReportsEverySample) {
    const WavData raw = make_audio({std::vector<double>(37, 0.6), std::vector<double>(37, 0.5)});
    std::vector<std::string> warnings;
    const WavData out = apply_input_gain(raw, 6.0, warnings);
    EXPECT_EQ(out.samples[0], std::vector<double>(37, 1.0));
    EXPECT_EQ(warnings, std::vector<std::string>{"input gain 6.0 dB caused processed-signal clipping; ch0 clipped_samples=37"});
}

TEST(InputGain, OnlyChannelsThatClipAreListedInOrder) {
    const WavData raw = make_audio({{0.1, -0.1, 0.2},
                                    {0.5, -0.9, 0.7},
                                    {-0.3, -0.26, 0.2},
                                    {0.0, 0.24, -0.2}});
    std::vector<std::string> warnings = {"earlier warning"};
    const WavData out = apply_input_gain(raw, 12.0, warnings);  // factor about 3.98
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "earlier warning",
                            "input gain 12.0 dB caused processed-signal clipping; ch1 clipped_samples=3; "
                            "ch2 clipped_samples=2"}));
    EXPECT_EQ(out.samples[1], (std::vector<double>{1.0, -1.0, 1.0}));
    EXPECT_EQ(out.samples[2][0], -1.0);
    EXPECT_EQ(out.samples[2][1], -1.0);
    EXPECT_NEAR(out.samples[2][2], 0.2 * std::pow(10.0, 0.6), 1e-12);
    EXPECT_NEAR(out.samples[3][1], 0.24 * std::pow(10.0, 0.6), 1e-12);
}

TEST(InputGain, FullScaleItselfIsNotClipping) {
    // At 0 dB, +-1.0 stay +-1.0 and are not counted.
    const WavData raw = make_audio({{1.0, -1.0, 1.0}});
    std::vector<std::string> warnings;
    apply_input_gain(raw, 0.0, warnings);
    EXPECT_TRUE(warnings.empty());
}

TEST(InputGain, GainIsWrittenWithOneDecimal) {
    const WavData raw = make_audio({{0.95}});
    std::vector<std::string> warnings;
    apply_input_gain(raw, 35.96, warnings);
    apply_input_gain(raw, 0.5, warnings);
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "input gain 36.0 dB caused processed-signal clipping; ch0 clipped_samples=1",
                            "input gain 0.5 dB caused processed-signal clipping; ch0 clipped_samples=1"}));
}

TEST(InputGain, RawRecordIsUnchanged) {
    const WavData raw = make_audio({{0.9, -0.9}, {0.2, 0.1}});
    const WavData before = raw;
    std::vector<std::string> warnings;
    const WavData out = apply_input_gain(raw, 20.0, warnings);
    EXPECT_EQ(raw.samples, before.samples);
    EXPECT_NE(out.samples, raw.samples);
}

TEST(InputGain, NoChannelsGiveAnUnchangedCopy) {
    WavData raw = make_audio({});
    raw.sample_rate = 44100;
    std::vector<std::string> warnings;
    const WavData out = apply_input_gain(raw, 36.0, warnings);
    EXPECT_EQ(out.channels, 0);
    EXPECT_EQ(out.sample_rate, 44100);
    EXPECT_TRUE(out.samples.empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(InputGain, InPlaceVariantMatchesTheCopy) {
    const WavData raw = make_audio({{0.5, -0.7, 0.05}, {0.9, 0.0, -0.95}});
    std::vector<std::string> copy_warnings;
    std::vector<std::string> in_place_warnings;
    const WavData copied = apply_input_gain(raw, 3.0, copy_warnings);
    WavData in_place = raw;
    apply_input_gain_in_place(in_place, 3.0, in_place_warnings);
    EXPECT_EQ(in_place.samples, copied.samples);
    EXPECT_EQ(in_place_warnings, copy_warnings);
    ASSERT_EQ(copy_warnings.size(), 1u);
}

}  // namespace
