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
constexpr int kPairs = 5;
// Shifts scored side by side, lanes 2j and 2j + 1 in pair j: ten hold the nine shifts 0..8 of
// the widest search, so each side of it takes one group.
constexpr int kLanes = 2 * kPairs;

Pair load_pair(const double *p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

double lane(const Pair *pairs, int k) { return pairs[k / 2][k % 2]; }
void set_lane(Pair *pairs, int k, double value) { pairs[k / 2][k % 2] = value; }

// Lane k of a group pairs x[i] with ys[i + k] for i in [0, end[k]); lanes side by side have
// neighbouring shifts, so end[k] falls by one from lane to lane.
struct LaneGroup {
    const double *x;
    const double *ys;
    std::size_t end[kLanes];
};

// First pass: each lane's means. Every lane's x side is a prefix of x, so up to the shortest
// overlap the lanes share one running sum of x.
void lane_means(const LaneGroup &g, Pair *mean_x, Pair *mean_y) {
    const std::size_t common = g.end[kLanes - 1];
    double sum_x = 0.0;
    Pair sum_y[kPairs] = {};
    for (std::size_t i = 0; i < common; ++i) {
        sum_x += g.x[i];
        for (int j = 0; j < kPairs; ++j) sum_y[j] += load_pair(g.ys + i + 2 * j);
    }
    for (int k = 0; k < kLanes; ++k) {
        double sx = sum_x, sy = lane(sum_y, k);
        for (std::size_t i = common; i < g.end[k]; ++i) {
            sx += g.x[i];
            sy += g.ys[i + k];
        }
        const double c = g.end[k] > 0 ? static_cast<double>(g.end[k]) : 1.0;
        set_lane(mean_x, k, sx / c);
        set_lane(mean_y, k, sy / c);
    }
}

// The centred products of `Count` pairs of lanes from pair `first` on, for i below the
// overlap they all have, added to sxy, sxx and syy. Local copies keep the sums in registers.
template <int Count>
void add_centred_products(const LaneGroup &g, int first, const Pair *mean_x, const Pair *mean_y, Pair *sxy,
                          Pair *sxx, Pair *syy) {
    const std::size_t common = g.end[2 * (first + Count) - 1];
    const double *ys = g.ys + 2 * first;
    Pair mx[Count], my[Count], s_xy[Count], s_xx[Count], s_yy[Count];
    for (int j = 0; j < Count; ++j) {
        mx[j] = mean_x[first + j], my[j] = mean_y[first + j];
        s_xy[j] = sxy[first + j], s_xx[j] = sxx[first + j], s_yy[j] = syy[first + j];
    }
    for (std::size_t i = 0; i < common; ++i) {
        for (int j = 0; j < Count; ++j) {
            const Pair dx = g.x[i] - mx[j];
            const Pair dy = load_pair(ys + i + 2 * j) - my[j];
            s_xy[j] += dx * dy;
            s_xx[j] += dx * dx;
            s_yy[j] += dy * dy;
        }
    }
    for (int j = 0; j < Count; ++j) sxy[first + j] = s_xy[j], sxx[first + j] = s_xx[j], syy[first + j] = s_yy[j];
}

// Mean-centred Pearson correlation of x[i] with y[i + s], i in [0, n - s), for the shifts
// s = first .. first + shifts - 1 (at most kLanes) side by side, one shift per lane. Every
// shift keeps its own sums, added in index order, so each result equals a one-at-a-time
// computation. The means take one pass for all lanes; the centred products, three sums per
// lane, one pass per four lanes (as many as the registers hold), then each lane's remainder.
void correlate_shifts(const double *x, const double *y, std::size_t n, std::size_t first, int shifts, double *r) {
    LaneGroup g{x, y + first, {}};
    bool scored[kLanes];
    bool any = false;
    for (int k = 0; k < kLanes; ++k) {
        g.end[k] = n > first + k ? n - first - k : 0;
        scored[k] = k < shifts && scorable(x, g.ys + k, g.end[k]);
        any = any || scored[k];
    }
    for (int k = 0; k < shifts; ++k) r[k] = 0.0;
    if (!any) return;

    Pair mean_x[kPairs], mean_y[kPairs];
    lane_means(g, mean_x, mean_y);

    Pair sxy[kPairs] = {}, sxx[kPairs] = {}, syy[kPairs] = {};
    const int pairs = (shifts + 1) / 2;
    for (int j = 0; j < pairs; j += 2) {
        if (j + 1 < pairs) {
            add_centred_products<2>(g, j, mean_x, mean_y, sxy, sxx, syy);
        } else {
            add_centred_products<1>(g, j, mean_x, mean_y, sxy, sxx, syy);
        }
    }
    for (int k = 0; k < shifts; ++k) {
        const int pass_end = std::min(k | 3, 2 * pairs - 1);  // the last lane of k's pass
        const double mx = lane(mean_x, k), my = lane(mean_y, k);
        double s_xy = lane(sxy, k), s_xx = lane(sxx, k), s_yy = lane(syy, k);
        for (std::size_t i = g.end[pass_end]; i < g.end[k]; ++i) {
            const double dx = x[i] - mx;
            const double dy = g.ys[i + k] - my;
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
    double r[kLanes];
    for (int first = 0; first <= max_lag; first += kLanes) {
        const int shifts = std::min(kLanes, max_lag - first + 1);
        correlate_shifts(a.data(), b.data(), n, static_cast<std::size_t>(first), shifts, r);
        for (int k = 0; k < shifts; ++k) scores[max_lag + first + k] = r[k];
    }
    for (int first = 1; first <= max_lag; first += kLanes) {
        const int shifts = std::min(kLanes, max_lag - first + 1);
        correlate_shifts(b.data(), a.data(), n, static_cast<std::size_t>(first), shifts, r);
        for (int k = 0; k < shifts; ++k) scores[max_lag - first - k] = r[k];
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
