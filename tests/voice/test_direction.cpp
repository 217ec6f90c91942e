// Pairwise lag search and the direction estimate, on synthetic edge cases and on real speech.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "direction.h"
#include "direction_confidence.h"
#include "lag_search.h"
#include "voice_programs.h"
#include "signals.h"
#include "wav.h"

using namespace voicetest;

namespace {

std::vector<double> delayed(const std::vector<double> &x, int d, std::size_t n) {
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = x[16 + i - d];
    return out;
}

WavData four_channels(const std::vector<double> &value_per_channel, std::size_t n) {
    WavData wav{16000, 4, 32, {}};
    for (double v : value_per_channel) wav.samples.emplace_back(n, v);
    return wav;
}

// The score as defined, one lag at a time: means over the overlap, then the centred sums, every
// sum added in index order.
double two_pass_correlation(const std::vector<double> &a, const std::vector<double> &b, int lag) {
    const long n = static_cast<long>(std::min(a.size(), b.size()));
    const long from = std::max(0L, -static_cast<long>(lag)), to = std::min(n, n - lag);
    if (to - from < 16) return 0.0;
    const double c = static_cast<double>(to - from);
    double sa = 0, sb = 0;
    for (long i = from; i < to; ++i) sa += a[i], sb += b[i + lag];
    const double ma = sa / c, mb = sb / c;
    double sab = 0, saa = 0, sbb = 0;
    for (long i = from; i < to; ++i) {
        const double da = a[i] - ma, db = b[i + lag] - mb;
        sab += da * db, saa += da * da, sbb += db * db;
    }
    return saa <= 0 || sbb <= 0 ? 0.0 : sab / std::sqrt(saa * sbb);
}

}  // namespace

// ---------------------------------------------------------------- best_lag

TEST(LagSearch, FindsEveryWholeSampleDelayOfBroadbandNoise) {
    const auto source = white_noise(2048, 7);
    const auto a = delayed(source, 0, 2000);
    // Limits whose last lags fall alone into a group of shifts scored side by side, on either side.
    for (int limit : {1, 10, 11}) {
        EXPECT_EQ(best_lag(a, delayed(source, limit, 2000), limit).lag, limit);
        EXPECT_EQ(best_lag(a, delayed(source, -limit, 2000), limit).lag, -limit);
    }
    for (int d = -8; d <= 8; ++d) {
        const LagSearchResult r = best_lag(a, delayed(source, d, 2000), 8);
        EXPECT_EQ(r.lag, d);
        EXPECT_NEAR(r.peak, 1.0, 1e-12) << "delay " << d;
        EXPECT_LT(r.second, 0.2) << "white noise has no correlated neighbours";
        EXPECT_DOUBLE_EQ(r.confidence, 1.0);
    }
}

TEST(LagSearch, DelayBeyondTheLimitIsNeverReported) {
    const auto source = white_noise(2048, 8);
    const LagSearchResult r = best_lag(delayed(source, 0, 2000), delayed(source, 12, 2000), 8);
    EXPECT_GE(r.lag, -8);
    EXPECT_LE(r.lag, 8);
    EXPECT_LT(r.peak, 0.2);
}

TEST(LagSearch, EqualScoresKeepTheMoreNegativeLagAndCountAsSecond) {
    // Period 4: lags -8, -4, 0, 4 and 8 all correlate perfectly.
    std::vector<double> a(400);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::array<double, 4>{0.5, -0.1, 0.3, -0.7}[i % 4];
    const LagSearchResult r = best_lag(a, a, 8);
    EXPECT_EQ(r.lag, -8);
    EXPECT_NEAR(r.peak, 1.0, 1e-12);
    EXPECT_NEAR(r.second, 1.0, 1e-12);
    EXPECT_NEAR(r.confidence, 0.7, 1e-9) << "no margin: confidence rests on 0.7 * peak";
}

TEST(LagSearch, NeighbouringLagsNarrowTheMarginOfANarrowbandSignal) {
    // A 400 Hz tone has period 40 samples: the lags next to the true one correlate at
    // about cos(2 pi / 40), so confidence = 0.7 + 4 * (1 - 0.98769).
    std::vector<double> tone(4100);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5 * std::sin(2 * M_PI * i / 40.0);
    const LagSearchResult r = best_lag(delayed(tone, 0, 4000), delayed(tone, 2, 4000), 8);
    EXPECT_EQ(r.lag, 2);
    EXPECT_NEAR(r.peak, 1.0, 1e-9);
    EXPECT_NEAR(r.second, std::cos(2 * M_PI / 40), 2e-3);
    EXPECT_NEAR(r.confidence, 0.7 + 4 * (1 - std::cos(2 * M_PI / 40)), 1e-2);
}

TEST(LagSearch, OverlapOfSixteenScoresAndFifteenDoesNot) {
    const auto source = white_noise(64, 9);
    // 21 samples: at lag 5 the overlap is 16 pairs, enough to score.
    std::vector<double> a(source.begin() + 16, source.begin() + 37);
    std::vector<double> b(21);
    for (int i = 0; i < 21; ++i) b[i] = source[16 + i - 5];
    EXPECT_EQ(best_lag(a, b, 8).lag, 5);
    EXPECT_EQ(best_lag(b, a, 8).lag, -5) << "the only scorable lag among -8..-5";
    // 20 samples: lag 5 leaves 15 pairs and scores 0, so it cannot win against the exact match.
    a.pop_back();
    b.pop_back();
    const LagSearchResult r20 = best_lag(a, b, 8);
    EXPECT_NE(r20.lag, 5);
    EXPECT_LE(std::abs(r20.lag), 4) << "only lags -4..4 can score with 20 samples, unless all scores are <= 0";
}

TEST(LagSearch, TooShortEmptyOrConstantInputScoresZeroAndKeepsTheFirstLag) {
    const auto noise = white_noise(15, 10);
    for (const auto &[a, b] : std::vector<std::pair<std::vector<double>, std::vector<double>>>{
             {noise, noise},                                                   // 15 samples: never 16 pairs
             {{}, {}},                                                         // empty
             {std::vector<double>(500, 0.0), white_noise(500, 11)},           // silent side
             {std::vector<double>(500, 0.1), std::vector<double>(500, 0.1)},  // DC: its mean is not exact
             {white_noise(500, 12), std::vector<double>(500, -0.3)}}) {
        const LagSearchResult r = best_lag(a, b, 4);
        EXPECT_EQ(r.lag, -4);
        EXPECT_EQ(r.peak, 0.0);
        EXPECT_EQ(r.second, 0.0);
        EXPECT_EQ(r.confidence, 0.0);
    }
}

TEST(LagSearch, AllNegativeCorrelationsGiveZeroScoresButNameTheLeastNegativeLag) {
    // A rising ramp against a falling parabola anti-correlates at every lag.
    std::vector<double> a(300), b(300);
    for (int i = 0; i < 300; ++i) {
        a[i] = i / 300.0;
        b[i] = -std::pow(i / 300.0 - 0.1, 2) + 0.01 * std::sin(i * 0.37);
    }
    int least_negative = 0;
    double best = -2;
    for (int lag = -8; lag <= 8; ++lag) {
        const double r = reference_correlation(a, b, lag);
        ASSERT_LT(r, 0.0);
        if (r > best) best = r, least_negative = lag;
    }
    const LagSearchResult r = best_lag(a, b, 8);
    EXPECT_EQ(r.lag, least_negative);
    EXPECT_EQ(r.peak, 0.0);
    EXPECT_EQ(r.second, 0.0);
    EXPECT_EQ(r.confidence, 0.0);
}

TEST(LagSearch, AgreesWithAOnePassPearsonCorrelation) {
    const auto x = white_noise(1100, 13);
    auto y = white_noise(1100, 14, 0.3);
    for (std::size_t i = 3; i < y.size(); ++i) y[i] += 0.8 * x[i - 3] + 0.4 * x[i - 2];
    const LagSearchResult r = best_lag(x, y, 8);
    EXPECT_EQ(r.lag, 3);
    EXPECT_NEAR(r.peak, reference_correlation(x, y, 3), 1e-9);
    EXPECT_NEAR(r.second, reference_correlation(x, y, 2), 1e-9);
}

// Sums added in another order differ in their last bits, and so would the beam and the manifest.
TEST(LagSearch, PeakAndSecondAreTheTwoPassScoresBitForBit) {
    const auto source = white_noise(4300, 21);
    for (int d = -8; d <= 8; ++d) {
        // A broad peak (neighbouring lags correlate too) and channels of unequal length.
        std::vector<double> a = white_noise(4000 + 3 * d, 22, 0.1), b = white_noise(4100, 23, 0.1);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += source[100 + i];
        for (std::size_t i = 0; i < b.size(); ++i) b[i] += 0.7 * source[100 + i - d] + 0.3 * source[99 + i - d];
        std::vector<double> scores;
        for (int lag = -8; lag <= 8; ++lag) scores.push_back(two_pass_correlation(a, b, lag));
        const std::size_t best = std::max_element(scores.begin(), scores.end()) - scores.begin();
        double second = 0.0;
        for (std::size_t k = 0; k < scores.size(); ++k)
            if (k != best) second = std::max(second, scores[k]);

        const LagSearchResult r = best_lag(a, b, 8);
        EXPECT_EQ(r.lag, d);
        EXPECT_EQ(r.lag, static_cast<int>(best) - 8);
        EXPECT_EQ(r.peak, scores[best]) << "delay " << d;
        EXPECT_EQ(r.second, second) << "delay " << d;
    }
}

// ---------------------------------------------------------------- estimate_direction

TEST(DirectionEstimate, FewerThanFourChannelsOrNoSamplesGiveTheInitialRecord) {
    const auto noise = white_noise(2000, 20);
    WavData mono{16000, 1, 16, {noise}};
    WavData three{16000, 3, 16, {noise, noise, noise}};
    WavData empty_first{16000, 4, 32, {{}, noise, noise, noise}};
    WavData missing_vectors{16000, 4, 32, {noise, noise}};
    for (const WavData &w : {mono, three, empty_first, missing_vectors}) {
        const DirectionEstimate e = estimate_direction(w, "processed");
        EXPECT_EQ(e.angle_degrees, 0.0);
        EXPECT_EQ(e.lag_samples, 0);
        EXPECT_EQ(e.confidence, 0.0);
        EXPECT_EQ(e.lag_consistency, 0.0);
        EXPECT_EQ(e.peak_correlation, 0.0);
        EXPECT_TRUE(e.low_confidence);
        EXPECT_EQ(e.method, "processed multi-pair centered cross-correlation");
        EXPECT_EQ(e.samples_source, "processed");
    }
}

TEST(DirectionEstimate, SilentOrConstantChannelsPointToMinusNinetyWithLowConfidence) {
    for (const WavData &w : {four_channels({0, 0, 0, 0}, 3200), four_channels({0.1, 0.1, 0.1, 0.1}, 3200),
                             four_channels({0.1, -0.2, 0.3, 0.7}, 1024)}) {
        const DirectionEstimate e = estimate_direction(w, "processed-live");
        EXPECT_EQ(e.lag_samples, -8);
        EXPECT_DOUBLE_EQ(e.angle_degrees, -90.0);
        EXPECT_EQ(e.peak_correlation, 0.0);
        EXPECT_EQ(e.second_correlation, 0.0);
        EXPECT_DOUBLE_EQ(e.lag_consistency, 0.5) << "adjacent lags -4 each sum to -12";
        EXPECT_NEAR(e.confidence, 0.1, 1e-12);
        EXPECT_TRUE(e.low_confidence);
        EXPECT_EQ(e.samples_source, "processed-live");
    }
}

TEST(DirectionEstimate, BroadbandDelaysGiveTheOuterLagAngleAndConsistency) {
    const auto source = white_noise(4000, 21);
    struct Case {
        std::vector<int> delays;
        int outer;
        double angle;
        double consistency;
    };
    for (const Case &c : std::vector<Case>{{{0, 1, 2, 3}, 3, 22.0243, 1.0},
                                           {{0, -1, -2, -3}, -3, -22.0243, 1.0},
                                           {{0, 0, 0, 0}, 0, 0.0, 1.0},
                                           {{0, 3, 5, 8}, 8, 90.0, 1.0},
                                           {{0, -3, -5, -8}, -8, -90.0, 1.0},
                                           {{0, 2, 3, 5}, 5, 38.6822, 1.0},
                                           {{0, 1, 5, 4}, 4, 30.0, 1.0},  // adjacent 1, 4, -1 still add up
                                           {{0, 2, 4, 7}, 7, 61.045, 1.0}}) {
        const DirectionEstimate e = estimate_direction(delayed_array(source, c.delays, 0.0, 1), "processed");
        EXPECT_EQ(e.lag_samples, c.outer);
        EXPECT_NEAR(e.angle_degrees, c.angle, 1e-4);
        EXPECT_NEAR(e.peak_correlation, 1.0, 1e-9);
        EXPECT_NEAR(e.lag_consistency, c.consistency, 1e-12);
        EXPECT_FALSE(e.low_confidence);
    }
    const DirectionEstimate end_on = estimate_direction(delayed_array(source, {0, 3, 5, 8}, 0.0, 1), "processed");
    EXPECT_EQ(end_on.angle_degrees, 90.0) << "lag 8 is exactly end-on";
}

TEST(DirectionEstimate, ConfidenceIsClampedAndFlagsWeakHintsBelowPointThirtyFive) {
    DirectionEstimate e;
    set_direction_confidence(e, 0.35);
    EXPECT_FALSE(e.low_confidence);
    EXPECT_EQ(e.confidence, 0.35);
    set_direction_confidence(e, 0.3499);
    EXPECT_TRUE(e.low_confidence);
    set_direction_confidence(e, 1.25);
    EXPECT_EQ(e.confidence, 1.0);
    EXPECT_FALSE(e.low_confidence);
    set_direction_confidence(e, -0.1);
    EXPECT_EQ(e.confidence, 0.0);
    EXPECT_TRUE(e.low_confidence);
    set_direction_confidence(e, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(e.confidence, 0.0);
    EXPECT_TRUE(e.low_confidence);
}

TEST(DirectionEstimate, ChannelsBeyondTheFourthAreIgnored) {
    const auto source = white_noise(4000, 22);
    WavData six = delayed_array(source, {0, 1, 2, 3, -7, 8}, 0.0, 1);
    const DirectionEstimate e6 = estimate_direction(six, "processed");
    six.channels = 4;
    six.samples.resize(4);
    const DirectionEstimate e4 = estimate_direction(six, "processed");
    EXPECT_EQ(e6.lag_samples, 3);
    EXPECT_EQ(e6.confidence, e4.confidence);
    EXPECT_EQ(e6.lag_consistency, e4.lag_consistency);
}

// ---------------------------------------------------------------- real speech

class SpeechDirection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string wav = dir_->file("speech16k.wav");
        speak_to_wav(*dir_, "Turn on the kitchen light and tell me the weather for tomorrow", wav);
        speech_ = new WavData(read_wav(wav));
    }
    static void TearDownTestSuite() {
        delete speech_;
        delete dir_;
        speech_ = nullptr;
        dir_ = nullptr;
    }
    static const std::vector<double> &speech() { return speech_->samples[0]; }
    static TempDir *dir_;
    static WavData *speech_;
};
TempDir *SpeechDirection::dir_ = nullptr;
WavData *SpeechDirection::speech_ = nullptr;

TEST_F(SpeechDirection, WholeSampleDelaysWithIndependentNoiseGiveTheExpectedLagAndAngle) {
    ASSERT_EQ(speech_->sample_rate, 16000);
    ASSERT_GT(speech().size(), 32000u);
    const double speech_rms = std::sqrt(power(speech()));
    struct Case {
        std::vector<int> delays;
        double angle;
    };
    for (const Case &c : std::vector<Case>{{{0, 1, 2, 3}, 22.0243},
                                           {{0, -2, -5, -7}, -61.045},
                                           {{0, 0, 0, 0}, 0.0},
                                           {{0, 3, 5, 8}, 90.0},
                                           {{0, -1, -3, -4}, -30.0},
                                           {{0, 2, 4, 6}, 48.5904}}) {
        // Independent noise 20 dB below the speech on every channel.
        const WavData array = delayed_array(speech(), c.delays, 0.1 * speech_rms, 42);
        const DirectionEstimate e = estimate_direction(array, "processed");
        EXPECT_EQ(e.lag_samples, c.delays[3]);
        EXPECT_NEAR(e.angle_degrees, c.angle, 1e-4);
        EXPECT_DOUBLE_EQ(e.lag_consistency, 1.0);
        EXPECT_FALSE(e.low_confidence);
        EXPECT_GT(e.peak_correlation, 0.9);
    }
}

TEST_F(SpeechDirection, LiveSizedChunksOfVoicedSpeechFindTheLag) {
    const double speech_rms = std::sqrt(power(speech()));
    const WavData array = delayed_array(speech(), {0, -1, -2, -3}, 0.05 * speech_rms, 43);
    int voiced = 0, found = 0;
    for (std::size_t start = 0; start + 1024 <= array.samples[0].size(); start += 1024) {
        WavData chunk{16000, 4, 32, {}};
        for (const auto &ch : array.samples) chunk.samples.emplace_back(ch.begin() + start, ch.begin() + start + 1024);
        if (std::sqrt(power(chunk.samples[0])) < speech_rms) continue;  // pauses carry only noise
        ++voiced;
        found += estimate_direction(chunk, "processed-live").lag_samples == -3;
    }
    ASSERT_GE(voiced, 5);
    EXPECT_EQ(found, voiced);
}

TEST_F(SpeechDirection, SoxDelayedFileReadBackGivesTheLag) {
    // The array file made the way the field notes make it, read through the WAV reader.
    const std::string out = dir_->file("array-int.wav");
    int status = 0;
    shell_output("sox " + quote(dir_->file("speech16k.wav")) + " -t wavpcm -b 32 -e signed-integer " + quote(out) +
                     " remix 1 1 1 1 vol 0.5 delay 0s 2s 4s 6s 2>&1",
                 &status);
    ASSERT_EQ(status, 0);
    const WavData array = read_wav(out);
    ASSERT_EQ(array.channels, 4);
    const DirectionEstimate e = estimate_direction(array, "processed");
    EXPECT_EQ(e.lag_samples, 6);
    EXPECT_NEAR(e.angle_degrees, 48.5904, 1e-4);
    EXPECT_DOUBLE_EQ(e.lag_consistency, 1.0);
}

TEST_F(SpeechDirection, FractionalDelaysGiveTheNearestWholeLags) {
    // Delays in eighths of a sample: upsample by 8, delay whole samples there, downsample.
    struct Case {
        std::vector<int> eighths;  // per channel
        std::vector<int> pair_lags;  // 0-3, 0-1, 1-2, 2-3
    };
    for (const Case &c : std::vector<Case>{{{0, 7, 14, 21}, {3, 1, 1, 1}},      // 0, .875, 1.75, 2.625
                                           {{0, 3, 10, 18}, {2, 0, 1, 1}},      // 0, .375, 1.25, 2.25
                                           {{0, 5, 10, 15}, {2, 1, 1, 1}},      // 0, .625, 1.25, 1.875
                                           {{19, 13, 6, 0}, {-2, -1, -1, -1}}}) {  // 2.375, 1.625, .75, 0
        const std::string out = dir_->file("array-frac.wav");
        std::string delays;
        for (int e : c.eighths) delays += " " + std::to_string(e) + "s";
        int status = 0;
        shell_output("sox " + quote(dir_->file("speech16k.wav")) + " -t wavpcm -b 32 -e signed-integer " + quote(out) +
                         " remix 1 1 1 1 vol 0.5 rate -v 128k delay" + delays + " rate -v 16k 2>&1",
                     &status);
        ASSERT_EQ(status, 0);
        const WavData array = read_wav(out);
        ASSERT_EQ(array.channels, 4);
        const auto &ch = array.samples;
        EXPECT_EQ(best_lag(ch[0], ch[3], 8).lag, c.pair_lags[0]);
        EXPECT_EQ(best_lag(ch[0], ch[1], 4).lag, c.pair_lags[1]);
        EXPECT_EQ(best_lag(ch[1], ch[2], 4).lag, c.pair_lags[2]);
        EXPECT_EQ(best_lag(ch[2], ch[3], 4).lag, c.pair_lags[3]);
        const DirectionEstimate e = estimate_direction(array, "processed");
        EXPECT_EQ(e.lag_samples, c.pair_lags[0]);
        const int sum = c.pair_lags[1] + c.pair_lags[2] + c.pair_lags[3];
        EXPECT_DOUBLE_EQ(e.lag_consistency, 1.0 - std::abs(c.pair_lags[0] - sum) * 0.125);
    }
}
