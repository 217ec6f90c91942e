#include "direction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kOuterMaxLag = 8;
constexpr int kAdjacentMaxLag = 4;
constexpr std::size_t kMinOverlap = 16;

bool constant(const double *x, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i)
        if (x[i] != x[0]) return false;
    return true;
}

// Too short an overlap, or a side without variation, scores 0. A constant side is caught
// here because its rounded mean need not be exact and would fake a correlation.
bool scorable(const double *x, const double *y, std::size_t count) {
    return count >= kMinOverlap && !constant(x, count) && !constant(y, count);
}

// Two doubles worked on as one value, as every common processor can: each lane does exactly
// what a lone double would, with the same rounding, so pairs only save loads and instructions.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
constexpr int kPairs = 2;
constexpr int kGroup = 2 * kPairs;  // shifts side by side, lanes 2j and 2j + 1 in pair j

Pair load_pair(const double *p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Mean-centred Pearson correlation of x[i] with y[i + s], i in [0, n - s), for the kGroup shifts
// s = first .. first + kGroup - 1 side by side, one shift per lane. Every shift keeps its own
// sums, added in index order, so each result equals a one-at-a-time computation. The x side of
// every shift is a prefix of x, so up to the shortest overlap they share one running sum.
void correlate_shifts(const double *x, const double *y, std::size_t n, std::size_t first, double (&r)[kGroup]) {
    std::size_t count[kGroup];
    bool scored[kGroup];
    bool any = false;
    for (int k = 0; k < kGroup; ++k) {
        const std::size_t shift = first + k;
        count[k] = n > shift ? n - shift : 0;
        scored[k] = scorable(x, y + shift, count[k]);
        any = any || scored[k];
    }
    for (double &score : r) score = 0.0;
    if (!any) return;
    // Indices below `common` are inside the overlap of every shift of the group.
    const std::size_t common = count[kGroup - 1];
    const double *ys = y + first;

    double sum_x = 0.0;
    Pair sum_y[kPairs] = {};
    for (std::size_t i = 0; i < common; ++i) {
        sum_x += x[i];
        for (int j = 0; j < kPairs; ++j) sum_y[j] += load_pair(ys + i + 2 * j);
    }
    Pair mean_x[kPairs], mean_y[kPairs];
    for (int k = 0; k < kGroup; ++k) {
        double sx = sum_x, sy = sum_y[k / 2][k % 2];
        for (std::size_t i = common; i < count[k]; ++i) {
            sx += x[i];
            sy += ys[i + k];
        }
        const double c = count[k] > 0 ? static_cast<double>(count[k]) : 1.0;
        mean_x[k / 2][k % 2] = sx / c;
        mean_y[k / 2][k % 2] = sy / c;
    }

    Pair sxy[kPairs] = {}, sxx[kPairs] = {}, syy[kPairs] = {};
    for (std::size_t i = 0; i < common; ++i) {
        for (int j = 0; j < kPairs; ++j) {
            const Pair dx = x[i] - mean_x[j];
            const Pair dy = load_pair(ys + i + 2 * j) - mean_y[j];
            sxy[j] += dx * dy;
            sxx[j] += dx * dx;
            syy[j] += dy * dy;
        }
    }
    for (int k = 0; k < kGroup; ++k) {
        const double mx = mean_x[k / 2][k % 2], my = mean_y[k / 2][k % 2];
        double s_xy = sxy[k / 2][k % 2], s_xx = sxx[k / 2][k % 2], s_yy = syy[k / 2][k % 2];
        for (std::size_t i = common; i < count[k]; ++i) {
            const double dx = x[i] - mx;
            const double dy = ys[i + k] - my;
            s_xy += dx * dy;
            s_xx += dx * dx;
            s_yy += dy * dy;
        }
        if (scored[k] && s_xx > 0.0 && s_yy > 0.0) r[k] = s_xy / std::sqrt(s_xx * s_yy);
    }
}

// Score of every lag -max_lag .. max_lag, at index lag + max_lag. Lag L >= 0 pairs a[i] with
// b[i + L]; lag -s pairs b[i] with a[i + s], the same pairs with the sides swapped, which
// changes no product, sum or score.
std::vector<double> lag_scores(const std::vector<double> &a, const std::vector<double> &b, int max_lag) {
    const std::size_t n = std::min(a.size(), b.size());
    std::vector<double> scores(static_cast<std::size_t>(2 * max_lag + 1), 0.0);
    double r[kGroup];
    for (int first = 0; first <= max_lag; first += kGroup) {
        correlate_shifts(a.data(), b.data(), n, static_cast<std::size_t>(first), r);
        for (int k = 0; k < kGroup && first + k <= max_lag; ++k) scores[max_lag + first + k] = r[k];
    }
    for (int first = 1; first <= max_lag; first += kGroup) {
        correlate_shifts(b.data(), a.data(), n, static_cast<std::size_t>(first), r);
        for (int k = 0; k < kGroup && first + k <= max_lag; ++k) scores[max_lag - first - k] = r[k];
    }
    return scores;
}

}  // namespace

LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag) {
    double best = -1.0;
    double second = -1.0;
    int best_at = 0;
    if (max_lag >= 0) {
        const std::vector<double> scores = lag_scores(a, b, max_lag);
        for (int lag = -max_lag; lag <= max_lag; ++lag) {
            const double r = scores[lag + max_lag];
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
