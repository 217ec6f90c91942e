#include "direction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kOuterMaxLag = 8;
constexpr int kAdjacentMaxLag = 4;
constexpr std::size_t kMinOverlap = 16;
constexpr int kGroup = 4;

// The pairs (a[i], b[i + lag]) of one lag, as a_part[j], b_part[j] for j in [0, count).
struct Overlap {
    const double *a_part = nullptr;
    const double *b_part = nullptr;
    std::size_t count = 0;
};

Overlap overlap_at(const double *a, const double *b, std::size_t n, int lag) {
    const std::size_t shift = static_cast<std::size_t>(lag < 0 ? -lag : lag);
    if (n <= shift) return {};
    return {a + (lag < 0 ? shift : 0), b + (lag > 0 ? shift : 0), n - shift};
}

bool constant(const double *x, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i)
        if (x[i] != x[0]) return false;
    return true;
}

// Too short an overlap, or a side without variation, scores 0. A constant side is caught
// here because its rounded mean need not be exact and would fake a correlation.
bool scorable(const Overlap &o) {
    return o.count >= kMinOverlap && !constant(o.a_part, o.count) && !constant(o.b_part, o.count);
}

// Mean-centred Pearson correlation of kGroup overlaps side by side. Each overlap keeps its
// own sums, added in index order, so every result equals a one-at-a-time computation; the
// independent sums only let the processor overlap the additions.
void correlate_group(const Overlap (&o)[kGroup], double (&r)[kGroup]) {
    std::size_t common = o[0].count;
    for (const Overlap &x : o) common = std::min(common, x.count);

    double sum_a[kGroup] = {}, sum_b[kGroup] = {};
    for (std::size_t i = 0; i < common; ++i)
        for (int k = 0; k < kGroup; ++k) {
            sum_a[k] += o[k].a_part[i];
            sum_b[k] += o[k].b_part[i];
        }
    double mean_a[kGroup], mean_b[kGroup];
    for (int k = 0; k < kGroup; ++k) {
        for (std::size_t i = common; i < o[k].count; ++i) {
            sum_a[k] += o[k].a_part[i];
            sum_b[k] += o[k].b_part[i];
        }
        mean_a[k] = sum_a[k] / static_cast<double>(o[k].count);
        mean_b[k] = sum_b[k] / static_cast<double>(o[k].count);
    }

    double sab[kGroup] = {}, saa[kGroup] = {}, sbb[kGroup] = {};
    auto accumulate = [&](int k, std::size_t i) {
        const double da = o[k].a_part[i] - mean_a[k];
        const double db = o[k].b_part[i] - mean_b[k];
        sab[k] += da * db;
        saa[k] += da * da;
        sbb[k] += db * db;
    };
    for (std::size_t i = 0; i < common; ++i)
        for (int k = 0; k < kGroup; ++k) accumulate(k, i);
    for (int k = 0; k < kGroup; ++k) {
        for (std::size_t i = common; i < o[k].count; ++i) accumulate(k, i);
        r[k] = saa[k] <= 0.0 || sbb[k] <= 0.0 ? 0.0 : sab[k] / std::sqrt(saa[k] * sbb[k]);
    }
}

// Scores of the lags first .. first + kGroup - 1 (those up to `last`); unscorable lags get 0.
void score_lags(const double *a, const double *b, std::size_t n, int first, int last, double (&score)[kGroup]) {
    Overlap group[kGroup];
    int slot[kGroup];
    int used = 0;
    for (int lag = first; lag <= last; ++lag) {
        score[lag - first] = 0.0;
        const Overlap o = overlap_at(a, b, n, lag);
        if (scorable(o)) {
            group[used] = o;
            slot[used++] = lag - first;
        }
    }
    if (used == 0) return;
    for (int k = used; k < kGroup; ++k) group[k] = group[0];  // padding, result unused
    double r[kGroup];
    correlate_group(group, r);
    for (int k = 0; k < used; ++k) score[slot[k]] = r[k];
}

}  // namespace

LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag) {
    const std::size_t n = std::min(a.size(), b.size());
    double best = -1.0;
    double second = -1.0;
    int best_at = 0;
    for (int first = -max_lag; first <= max_lag; first += kGroup) {
        const int last = std::min(first + kGroup - 1, max_lag);
        double score[kGroup];
        score_lags(a.data(), b.data(), n, first, last, score);
        for (int lag = first; lag <= last; ++lag) {
            const double r = score[lag - first];
            if (r > best) {  // strict: on a tie the more negative lag stays
                second = best;
                best = r;
                best_at = lag;
            } else {
                second = std::max(second, r);
            }
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
