#include "direction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kOuterMaxLag = 8;
constexpr int kAdjacentMaxLag = 4;
constexpr std::size_t kMinOverlap = 16;

// Pearson correlation of a[i] with b[i + lag] over their overlap, mean-centred on the
// overlap itself. Too short an overlap, or a side without variation, scores 0.
double centred_correlation(const double *a, const double *b, std::size_t n, int lag) {
    const std::size_t shift = static_cast<std::size_t>(lag < 0 ? -lag : lag);
    if (n <= shift || n - shift < kMinOverlap) return 0.0;
    const std::size_t count = n - shift;
    // Overlap: i runs over [max(0, -lag), n - max(0, lag)), paired with i + lag.
    const double *pa = a + (lag < 0 ? shift : 0);
    const double *pb = b + (lag > 0 ? shift : 0);

    double sum_a = 0.0, sum_b = 0.0;
    bool a_varies = false, b_varies = false;
    const double a0 = pa[0], b0 = pb[0];
    for (std::size_t i = 0; i < count; ++i) {
        sum_a += pa[i];
        sum_b += pb[i];
        a_varies |= pa[i] != a0;
        b_varies |= pb[i] != b0;
    }
    // A constant side has no variance; its rounded mean must not fake a correlation.
    if (!a_varies || !b_varies) return 0.0;
    const double mean_a = sum_a / static_cast<double>(count);
    const double mean_b = sum_b / static_cast<double>(count);

    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double da = pa[i] - mean_a;
        const double db = pb[i] - mean_b;
        sab += da * db;
        saa += da * da;
        sbb += db * db;
    }
    if (saa <= 0.0 || sbb <= 0.0) return 0.0;
    return sab / std::sqrt(saa * sbb);
}

}  // namespace

LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag) {
    const std::size_t n = std::min(a.size(), b.size());
    double best = -1.0;
    double second = -1.0;
    int best_at = 0;
    for (int lag = -max_lag; lag <= max_lag; ++lag) {
        const double r = n == 0 ? 0.0 : centred_correlation(a.data(), b.data(), n, lag);
        if (r > best) {  // strict: on a tie the more negative lag stays
            second = best;
            best = r;
            best_at = lag;
        } else {
            second = std::max(second, r);
        }
    }

    LagSearchResult result;
    result.lag = best_at;
    if (best > 0.0) {
        result.peak = best;
        result.second = second > 0.0 ? second : 0.0;
        result.confidence = std::min(1.0, 0.7 * best + 4.0 * (best - std::max(second, 0.0)));
    }
    return result;
}

void set_direction_confidence(DirectionEstimate &estimate, double combined) {
    if (!(combined >= 0.0)) {  // negative, or not a number
        estimate.confidence = 0.0;
        estimate.low_confidence = true;
    } else if (combined > 1.0) {
        estimate.confidence = 1.0;
        estimate.low_confidence = false;
    } else {
        estimate.confidence = combined;
        estimate.low_confidence = combined < 0.35;
    }
}

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source) {
    DirectionEstimate estimate;
    estimate.samples_source = samples_source;
    if (audio.channels < 4 || audio.samples.size() < 4 || audio.samples[0].empty()) return estimate;

    const auto &ch = audio.samples;
    const LagSearchResult outer = best_lag(ch[0], ch[3], kOuterMaxLag);
    const LagSearchResult p01 = best_lag(ch[0], ch[1], kAdjacentMaxLag);
    const LagSearchResult p12 = best_lag(ch[1], ch[2], kAdjacentMaxLag);
    const LagSearchResult p23 = best_lag(ch[2], ch[3], kAdjacentMaxLag);

    estimate.lag_samples = outer.lag;
    estimate.peak_correlation = outer.peak;
    estimate.second_correlation = outer.second;

    // Adjacent lags should add up to the outer one; each sample of disagreement costs 1/8.
    const int disagreement = std::abs(outer.lag - (p01.lag + p12.lag + p23.lag));
    estimate.lag_consistency = std::max(0.0, 1.0 - disagreement * 0.125);

    // A lag of 8 samples is full scale: the sound arrives end-on (90 degrees).
    const double s = std::clamp(outer.lag * 0.125, -1.0, 1.0);
    estimate.angle_degrees = std::asin(s) * 180.0 / kPi;

    const double adjacent = (p01.confidence + p12.confidence + p23.confidence) / 3.0;
    set_direction_confidence(estimate, adjacent * 0.25 + 0.55 * outer.confidence + 0.2 * estimate.lag_consistency);
    return estimate;
}
