// Delay-and-sum beam: choice of offsets, averaging at the edges, and the gain on real speech.
#include <gtest/gtest.h>

#include <cmath>

#include "beamform.h"
#include "direction.h"
#include "signals.h"
#include "voice_programs.h"

using namespace voicetest;

namespace {

const char *const kGuided = "direction-guided delay-and-sum from processed samples";
const char *const kFallback = "fallback channel-alignment delay-and-sum from processed samples";

DirectionEstimate confident(int lag) {
    DirectionEstimate e;
    e.lag_samples = lag;
    e.low_confidence = false;
    e.confidence = 0.9;
    return e;
}

DirectionEstimate weak(int lag) {
    DirectionEstimate e = confident(lag);
    e.low_confidence = true;
    e.confidence = 0.2;
    return e;
}

// Channel k holds the constant (k + 1) / 10, so the output tells which channels were counted.
WavData constant_channels(int channels, std::size_t n) {
    WavData wav{16000, channels, 32, {}};
    for (int k = 0; k < channels; ++k) wav.samples.emplace_back(n, (k + 1) / 10.0);
    return wav;
}

}  // namespace

// ---------------------------------------------------------------- offsets and method

TEST(BeamOffsets, ConfidentFourChannelEstimateSpreadsTheOuterLagLinearly) {
    const WavData wav = constant_channels(4, 100);
    const std::vector<std::pair<int, std::vector<int>>> cases{{3, {0, 1, 2, 3}},     {4, {0, 1, 3, 4}},
                                                              {1, {0, 0, 1, 1}},     {-8, {0, -3, -5, -8}},
                                                              {0, {0, 0, 0, 0}},     {-3, {0, -1, -2, -3}},
                                                              {8, {0, 3, 5, 8}},     {-1, {0, 0, -1, -1}}};
    for (const auto &[lag, lags] : cases) {
        const BeamformResult r = beamform_delay_and_sum(wav, confident(lag));
        EXPECT_EQ(r.lags, lags) << "outer lag " << lag;
        EXPECT_EQ(r.method, kGuided);
    }
}

TEST(BeamOffsets, HalfSampleSpreadsRoundAwayFromZero) {
    // Five channels: quarters of the outer lag, so a lag of 2 puts channels 1 and 3 on halves.
    const WavData wav = constant_channels(5, 100);
    EXPECT_EQ(beamform_delay_and_sum(wav, confident(2)).lags, (std::vector<int>{0, 1, 1, 2, 2}));
    EXPECT_EQ(beamform_delay_and_sum(wav, confident(-2)).lags, (std::vector<int>{0, -1, -1, -2, -2}));
    EXPECT_EQ(beamform_delay_and_sum(wav, confident(6)).lags, (std::vector<int>{0, 2, 3, 5, 6}));
}

TEST(BeamOffsets, FewerThanFourChannelsAlwaysAlignEachChannelByItsOwnSearch) {
    const auto source = white_noise(3000, 31);
    for (const auto &delays : std::vector<std::vector<int>>{{0, 5}, {0, -2, 7}}) {
        const WavData wav = delayed_array(source, delays, 0.0, 1);
        const BeamformResult r = beamform_delay_and_sum(wav, confident(3));
        EXPECT_EQ(r.method, kFallback);
        EXPECT_EQ(r.lags, delays);
    }
}

TEST(BeamOffsets, LowConfidenceFourChannelsFallBackToPerChannelAlignmentWithinEight) {
    const auto source = white_noise(3000, 32);
    const WavData wav = delayed_array(source, {0, 2, -3, 5}, 0.0, 1);
    const BeamformResult r = beamform_delay_and_sum(wav, weak(8));
    EXPECT_EQ(r.method, kFallback);
    EXPECT_EQ(r.lags, (std::vector<int>{0, 2, -3, 5}));

    const WavData far = delayed_array(source, {0, 1, 2, 12}, 0.0, 1);
    const BeamformResult rf = beamform_delay_and_sum(far, weak(0));
    EXPECT_EQ(rf.lags[1], 1);
    EXPECT_EQ(rf.lags[2], 2);
    EXPECT_LE(std::abs(rf.lags[3]), 8) << "a channel beyond the search limit still gets a lag within +-8";
}

TEST(BeamOffsets, SilentLowConfidenceInputAlignsEveryChannelAtMinusEight) {
    WavData silent = constant_channels(4, 64);
    for (auto &ch : silent.samples) std::fill(ch.begin(), ch.end(), 0.0);
    const BeamformResult r = beamform_delay_and_sum(silent, estimate_direction(silent, "processed"));
    EXPECT_EQ(r.method, kFallback);
    EXPECT_EQ(r.lags, (std::vector<int>{0, -8, -8, -8}));
    EXPECT_EQ(r.samples, std::vector<double>(64, 0.0));
}

// ---------------------------------------------------------------- output samples

TEST(BeamOutput, MonoInputPassesThroughUnchanged) {
    const auto noise = white_noise(500, 33);
    const WavData mono{16000, 1, 16, {noise}};
    const BeamformResult r = beamform_delay_and_sum(mono, confident(4));
    EXPECT_EQ(r.lags, std::vector<int>{0});
    EXPECT_EQ(r.method, kFallback);
    EXPECT_EQ(r.samples, noise);
}

TEST(BeamOutput, ZeroLagIsThePlainMeanOfTheChannels) {
    const WavData wav{16000, 4, 32, {{0.4, -1.0, 0.0}, {0.0, -1.0, 1.0}, {0.2, -1.0, -1.0}, {-0.2, -1.0, 0.5}}};
    const BeamformResult r = beamform_delay_and_sum(wav, confident(0));
    ASSERT_EQ(r.samples.size(), 3u);
    EXPECT_DOUBLE_EQ(r.samples[0], 0.1);
    EXPECT_DOUBLE_EQ(r.samples[1], -1.0) << "full-scale agreement stays at full scale, no gain";
    EXPECT_DOUBLE_EQ(r.samples[2], 0.125);
}

TEST(BeamOutput, ShiftedChannelsThinOutAtTheEdges) {
    const WavData wav = constant_channels(4, 20);
    // Lag -3: channels 1..3 are read behind, so the start lacks them.
    const auto early = beamform_delay_and_sum(wav, confident(-3)).samples;
    ASSERT_EQ(early.size(), 20u);
    EXPECT_DOUBLE_EQ(early[0], 0.1);
    EXPECT_DOUBLE_EQ(early[1], 0.15);
    EXPECT_DOUBLE_EQ(early[2], 0.2);
    for (std::size_t t = 3; t < 20; ++t) EXPECT_DOUBLE_EQ(early[t], 0.25) << t;
    // Lag +3: the same thinning at the end; the last sample comes from channel 0 alone.
    const auto late = beamform_delay_and_sum(wav, confident(3)).samples;
    for (std::size_t t = 0; t < 17; ++t) EXPECT_DOUBLE_EQ(late[t], 0.25) << t;
    EXPECT_DOUBLE_EQ(late[17], 0.2);
    EXPECT_DOUBLE_EQ(late[18], 0.15);
    EXPECT_DOUBLE_EQ(late[19], 0.1);
}

TEST(BeamOutput, PositiveLagReadsTheLaterChannelAhead) {
    // Channel k hears a ramp k samples late; steering by 3 lines all four up again.
    std::vector<double> ramp(64);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = i / 64.0;
    const WavData wav = delayed_array(ramp, {0, 1, 2, 3}, 0.0, 1, 8);
    const auto beam = beamform_delay_and_sum(wav, confident(3)).samples;
    ASSERT_EQ(beam.size(), 48u);
    for (std::size_t t = 0; t < 45; ++t) EXPECT_NEAR(beam[t], ramp[8 + t], 1e-15) << t;
}

TEST(BeamOutput, NoInputOrAnEmptyFirstChannel) {
    const BeamformResult none = beamform_delay_and_sum(WavData{16000, 0, 16, {}}, confident(0));
    EXPECT_TRUE(none.samples.empty());
    EXPECT_TRUE(none.lags.empty());
    EXPECT_TRUE(none.method.empty());

    const BeamformResult no_vectors = beamform_delay_and_sum(WavData{16000, 4, 32, {}}, confident(0));
    EXPECT_TRUE(no_vectors.method.empty());

    const WavData empty{16000, 4, 32, {{}, {}, {}, {}}};
    const BeamformResult r = beamform_delay_and_sum(empty, confident(3));
    EXPECT_TRUE(r.samples.empty());
    EXPECT_EQ(r.lags, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(r.method, kGuided);
}

// ---------------------------------------------------------------- on real speech

TEST(BeamOnSpeech, SteeredBeamKeepsTheSpeechAndQuartersTheIndependentNoise) {
    TempDir dir;
    const std::string wav_path = dir.file("speech.wav");
    speak_to_wav(dir, "Please open the garage door", wav_path);
    const std::vector<double> speech = read_wav(wav_path).samples[0];
    const double noise_sigma = 0.3 * std::sqrt(power(speech));
    const WavData array = delayed_array(speech, {0, -1, -3, -4}, noise_sigma, 51);

    const DirectionEstimate direction = estimate_direction(array, "processed");
    ASSERT_EQ(direction.lag_samples, -4);
    ASSERT_FALSE(direction.low_confidence);
    const BeamformResult beam = beamform_delay_and_sum(array, direction);
    EXPECT_EQ(beam.lags, (std::vector<int>{0, -1, -3, -4}));

    // Residual against the clean speech at channel 0's timing, away from the thinned edges.
    std::vector<double> beam_error, channel_error;
    for (std::size_t t = 8; t + 8 < beam.samples.size(); ++t) {
        beam_error.push_back(beam.samples[t] - speech[16 + t]);
        channel_error.push_back(array.samples[0][t] - speech[16 + t]);
    }
    EXPECT_NEAR(power(channel_error), noise_sigma * noise_sigma, 0.05 * noise_sigma * noise_sigma);
    EXPECT_NEAR(power(beam_error) / power(channel_error), 0.25, 0.02);
}
