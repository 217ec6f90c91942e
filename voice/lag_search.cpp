#include "lag_search.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {
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

// One pair's search: lags -max_lag .. max_lag of b against a.
struct LagRequest {
    const std::vector<double> *a;
    const std::vector<double> *b;
    int max_lag;
};

// One side of one pair's search: up to kLanes neighbouring shifts of y against x, scored side
// by side, with the running sums it carries from block to block.
struct ShiftGroup {
    LaneGroup g;
    const double *y = nullptr;  // the y side from its start: ys = y + first
    std::size_t first = 0;
    std::size_t n = 0;
    int shifts = 0;
    int pairs = 0;  // lanes in use, two by two
    bool scored[kLanes] = {};
    bool any = false;
    double sum_x = 0.0;
    Pair sum_y[kPairs] = {};
    Pair mean_x[kPairs] = {}, mean_y[kPairs] = {};
    Pair sxy[kPairs] = {}, sxx[kPairs] = {}, syy[kPairs] = {};
    double totals[4] = {};  // one-pass search: sum and sum of squares of x, then of y, over [0, n)
    double *out = nullptr;  // score of lane k at out[k * step]
    int step = 1;
};

// Samples per block: every group of every pair takes its turn on one block while it is in the
// cache, instead of each group streaming the whole channels again.
constexpr std::size_t kBlock = 2048;

ShiftGroup make_group(const double *x, const double *y, std::size_t n, std::size_t first, int shifts, double *out,
                      int step) {
    ShiftGroup group;
    group.g = LaneGroup{x, y + first, {}};
    group.y = y;
    group.first = first;
    group.n = n;
    group.shifts = shifts;
    group.pairs = (shifts + 1) / 2;
    group.out = out;
    group.step = step;
    for (int k = 0; k < kLanes; ++k) {
        group.g.end[k] = n > first + k ? n - first - k : 0;
        group.scored[k] = k < shifts && scorable(x, group.g.ys + k, group.g.end[k]);
        group.any = group.any || group.scored[k];
    }
    return group;
}

// First pass, indices [begin, end) of it: every lane's x side is a prefix of x, so up to the
// shortest overlap of the lanes in use they share one running sum of x. Where that part ends
// changes no sum: each lane adds its own terms in index order either way.
template <int Pairs>
void add_lane_sums(ShiftGroup &group, std::size_t begin, std::size_t end) {
    const LaneGroup &g = group.g;
    end = std::min(end, g.end[2 * Pairs - 1]);
    double sum_x = group.sum_x;
    Pair sum_y[Pairs];
    for (int j = 0; j < Pairs; ++j) sum_y[j] = group.sum_y[j];
    for (std::size_t i = begin; i < end; ++i) {
        sum_x += g.x[i];
        for (int j = 0; j < Pairs; ++j) sum_y[j] += load_pair(g.ys + i + 2 * j);
    }
    group.sum_x = sum_x;
    for (int j = 0; j < Pairs; ++j) group.sum_y[j] = sum_y[j];
}

// Calls `body` with the group's pair count as a compile-time constant, so that each count gets
// its own loop with the sums in registers.
template <typename Body>
void with_pair_count(int pairs, Body body) {
    switch (pairs) {
        case 1: body(std::integral_constant<int, 1>{}); break;
        case 2: body(std::integral_constant<int, 2>{}); break;
        case 3: body(std::integral_constant<int, 3>{}); break;
        case 4: body(std::integral_constant<int, 4>{}); break;
        default: body(std::integral_constant<int, kPairs>{}); break;
    }
}

void add_lane_sums(ShiftGroup &group, std::size_t begin, std::size_t end) {
    with_pair_count(group.pairs, [&](auto pairs) { add_lane_sums<decltype(pairs)::value>(group, begin, end); });
}

// Each lane's sums go on alone past the shared part, then become its means.
void finish_lane_means(ShiftGroup &group) {
    const LaneGroup &g = group.g;
    const std::size_t common = g.end[2 * group.pairs - 1];
    for (int k = 0; k < 2 * group.pairs; ++k) {
        double sx = group.sum_x, sy = lane(group.sum_y, k);
        for (std::size_t i = common; i < g.end[k]; ++i) {
            sx += g.x[i];
            sy += g.ys[i + k];
        }
        const double c = g.end[k] > 0 ? static_cast<double>(g.end[k]) : 1.0;
        set_lane(group.mean_x, k, sx / c);
        set_lane(group.mean_y, k, sy / c);
    }
}

// The centred products of `Count` pairs of lanes from pair `first` on, for the indices of
// [begin, end) below the overlap they all have, added to the group's sums. Local copies keep
// the sums in registers.
template <int Count>
void add_centred_products(ShiftGroup &group, int first, std::size_t begin, std::size_t end) {
    const LaneGroup &g = group.g;
    end = std::min(end, g.end[2 * (first + Count) - 1]);
    const double *ys = g.ys + 2 * first;
    Pair mx[Count], my[Count], s_xy[Count], s_xx[Count], s_yy[Count];
    for (int j = 0; j < Count; ++j) {
        mx[j] = group.mean_x[first + j], my[j] = group.mean_y[first + j];
        s_xy[j] = group.sxy[first + j], s_xx[j] = group.sxx[first + j], s_yy[j] = group.syy[first + j];
    }
    for (std::size_t i = begin; i < end; ++i) {
        for (int j = 0; j < Count; ++j) {
            const Pair dx = g.x[i] - mx[j];
            const Pair dy = load_pair(ys + i + 2 * j) - my[j];
            s_xy[j] += dx * dy;
            s_xx[j] += dx * dx;
            s_yy[j] += dy * dy;
        }
    }
    for (int j = 0; j < Count; ++j) {
        group.sxy[first + j] = s_xy[j], group.sxx[first + j] = s_xx[j], group.syy[first + j] = s_yy[j];
    }
}

// Eight lanes side by side in 256-bit vectors, on processors that have them: each lane still
// does exactly what a lone double would (no fused multiply-add), so the sums are unchanged.
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

__attribute__((target("avx2"))) void add_centred_products_wide(ShiftGroup &group, int first, std::size_t begin,
                                                               std::size_t end) {
    const LaneGroup &g = group.g;
    end = std::min(end, g.end[2 * first + 7]);
    const double *ys = g.ys + 2 * first;
    Quad mx[2], my[2], s_xy[2], s_xx[2], s_yy[2];
    std::memcpy(mx, group.mean_x + first, sizeof mx);
    std::memcpy(my, group.mean_y + first, sizeof my);
    std::memcpy(s_xy, group.sxy + first, sizeof s_xy);
    std::memcpy(s_xx, group.sxx + first, sizeof s_xx);
    std::memcpy(s_yy, group.syy + first, sizeof s_yy);
    for (std::size_t i = begin; i < end; ++i) {
        for (int h = 0; h < 2; ++h) {
            Quad y;
            std::memcpy(&y, ys + i + 4 * h, sizeof y);
            const Quad dx = g.x[i] - mx[h];
            const Quad dy = y - my[h];
            s_xy[h] += dx * dy;
            s_xx[h] += dx * dx;
            s_yy[h] += dy * dy;
        }
    }
    std::memcpy(group.sxy + first, s_xy, sizeof s_xy);
    std::memcpy(group.sxx + first, s_xx, sizeof s_xx);
    std::memcpy(group.syy + first, s_yy, sizeof s_yy);
}

bool wide_vectors() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

// Pairs of lanes in the pass that starts at pair j: eight lanes where the processor takes them,
// else four (as many as the 128-bit registers hold), then the last two.
int pass_pairs(int j, int pairs) {
    if (j + 4 <= pairs && wide_vectors()) return 4;
    return j + 2 <= pairs ? 2 : 1;
}

void add_block_products(ShiftGroup &group, std::size_t begin, std::size_t end) {
    for (int j = 0; j < group.pairs; j += pass_pairs(j, group.pairs)) {
        switch (pass_pairs(j, group.pairs)) {
            case 4: add_centred_products_wide(group, j, begin, end); break;
            case 2: add_centred_products<2>(group, j, begin, end); break;
            default: add_centred_products<1>(group, j, begin, end); break;
        }
    }
}

// The last lane of the pass that holds lane k: past that lane's overlap, k goes on alone.
int last_lane_of_pass(int k, int pairs) {
    int j = 0;
    while (j + pass_pairs(j, pairs) <= k / 2) j += pass_pairs(j, pairs);
    return 2 * (j + pass_pairs(j, pairs)) - 1;
}

// Each lane's remainder past its pass, then its score.
void finish_scores(ShiftGroup &group) {
    const LaneGroup &g = group.g;
    for (int k = 0; k < group.shifts; ++k) {
        const int pass_end = last_lane_of_pass(k, group.pairs);
        const double mx = lane(group.mean_x, k), my = lane(group.mean_y, k);
        double s_xy = lane(group.sxy, k), s_xx = lane(group.sxx, k), s_yy = lane(group.syy, k);
        for (std::size_t i = g.end[pass_end]; i < g.end[k]; ++i) {
            const double dx = g.x[i] - mx;
            const double dy = g.ys[i + k] - my;
            s_xy += dx * dy;
            s_xx += dx * dx;
            s_yy += dy * dy;
        }
        double r = 0.0;
        if (group.scored[k] && s_xx > 0.0 && s_yy > 0.0) r = s_xy / std::sqrt(s_xx * s_yy);
        group.out[k * group.step] = r;
    }
}

// The geometric search's one-pass sums: only the plain products x[i] y[i + s] need a pass per
// lane, all lanes of a group at once; the sums and squares of each side come from the channel
// totals (finish_raw_scores). It rounds differently from the two-pass score, by far less than
// any digit the program prints, and costs about a quarter of it.
template <int Pairs>
void add_raw_products(ShiftGroup &group, std::size_t begin, std::size_t end) {
    const LaneGroup &g = group.g;
    end = std::min(end, g.end[2 * Pairs - 1]);
    Pair s_xy[Pairs];
    for (int j = 0; j < Pairs; ++j) s_xy[j] = group.sxy[j];
    for (std::size_t i = begin; i < end; ++i) {
        const double x = g.x[i];
        for (int j = 0; j < Pairs; ++j) s_xy[j] += x * load_pair(g.ys + i + 2 * j);
    }
    for (int j = 0; j < Pairs; ++j) group.sxy[j] = s_xy[j];
}

void add_raw_products(ShiftGroup &group, std::size_t begin, std::size_t end) {
    with_pair_count(group.pairs, [&](auto pairs) { add_raw_products<decltype(pairs)::value>(group, begin, end); });
}

// Lane k pairs x[0, end) with y[first + k, n): its sums are the totals less the few samples
// outside the overlap.
void finish_raw_scores(ShiftGroup &group) {
    const LaneGroup &g = group.g;
    const std::size_t common = g.end[2 * group.pairs - 1];
    for (int k = 0; k < group.shifts; ++k) {
        const std::size_t end = g.end[k];
        double s_xy = lane(group.sxy, k);
        for (std::size_t i = common; i < end; ++i) s_xy += g.x[i] * g.ys[i + k];
        double sx = group.totals[0], sxx = group.totals[1], sy = group.totals[2], syy = group.totals[3];
        for (std::size_t i = end; i < group.n; ++i) sx -= g.x[i], sxx -= g.x[i] * g.x[i];
        for (std::size_t j = 0; j < group.first + k && j < group.n; ++j) sy -= group.y[j], syy -= group.y[j] * group.y[j];
        double r = 0.0;
        if (group.scored[k]) {
            const double c = static_cast<double>(end);
            const double vx = sxx - sx * sx / c, vy = syy - sy * sy / c;
            if (vx > 0.0 && vy > 0.0) r = std::clamp((s_xy - sx * sy / c) / std::sqrt(vx * vy), -1.0, 1.0);
        }
        group.out[k * group.step] = r;
    }
}

// Sum and sum of squares of both sides of a pair over [0, n), for the one-pass search.
struct PairTotals {
    double a = 0.0, aa = 0.0, b = 0.0, bb = 0.0;
};

void add_totals(const LagRequest &request, std::size_t n, std::size_t begin, std::size_t end, PairTotals &t) {
    const double *a = request.a->data(), *b = request.b->data();
    for (std::size_t i = begin; i < std::min(end, n); ++i) {
        t.a += a[i], t.aa += a[i] * a[i];
        t.b += b[i], t.bb += b[i] * b[i];
    }
}

// The groups covering every lag -max_lag .. max_lag of one pair, scores at lag + max_lag. Lag
// L >= 0 pairs a[i] with b[i + L]; lag -s pairs b[i] with a[i + s], the same pairs with the sides
// swapped, which changes no product, sum or score.
void add_groups(const LagRequest &request, std::vector<double> &scores, std::vector<ShiftGroup> &groups) {
    const std::size_t n = std::min(request.a->size(), request.b->size());
    const int max_lag = request.max_lag;
    scores.assign(static_cast<std::size_t>(2 * max_lag + 1), 0.0);
    for (int first = 0; first <= max_lag; first += kLanes) {
        const int shifts = std::min(kLanes, max_lag - first + 1);
        groups.push_back(make_group(request.a->data(), request.b->data(), n, static_cast<std::size_t>(first), shifts,
                                    scores.data() + max_lag + first, 1));
    }
    for (int first = 1; first <= max_lag; first += kLanes) {
        const int shifts = std::min(kLanes, max_lag - first + 1);
        groups.push_back(make_group(request.b->data(), request.a->data(), n, static_cast<std::size_t>(first), shifts,
                                    scores.data() + max_lag - first, -1));
    }
}

// Mean-centred Pearson correlation of every requested lag. Every lag keeps its own sums, added
// in index order, so each score equals a one-at-a-time two-pass computation bit for bit; the
// blocks only change when each index is visited, not the order of any one sum.
std::vector<std::vector<double>> lag_scores(const std::vector<LagRequest> &requests) {
    std::vector<std::vector<double>> scores(requests.size());
    std::vector<ShiftGroup> groups;
    for (std::size_t p = 0; p < requests.size(); ++p) add_groups(requests[p], scores[p], groups);
    std::size_t longest = 0;
    for (const ShiftGroup &group : groups) {
        if (group.any) longest = std::max(longest, group.g.end[0]);
    }
    for (std::size_t begin = 0; begin < longest; begin += kBlock) {
        for (ShiftGroup &group : groups) {
            if (group.any) add_lane_sums(group, begin, begin + kBlock);
        }
    }
    for (ShiftGroup &group : groups) {
        if (group.any) finish_lane_means(group);
    }
    for (std::size_t begin = 0; begin < longest; begin += kBlock) {
        for (ShiftGroup &group : groups) {
            if (group.any) add_block_products(group, begin, begin + kBlock);
        }
    }
    for (ShiftGroup &group : groups) {
        if (group.any) finish_scores(group);
    }
    return scores;
}

// The same Pearson correlations in one pass over the channels, from the plain products and the
// channel totals (see add_raw_products).
std::vector<std::vector<double>> one_pass_lag_scores(const std::vector<LagRequest> &requests) {
    std::vector<std::vector<double>> scores(requests.size());
    std::vector<ShiftGroup> groups;
    std::vector<PairTotals> totals(requests.size());
    std::vector<std::size_t> lengths(requests.size());
    std::vector<std::size_t> first_group(requests.size() + 1, 0);
    for (std::size_t p = 0; p < requests.size(); ++p) {
        add_groups(requests[p], scores[p], groups);
        lengths[p] = std::min(requests[p].a->size(), requests[p].b->size());
        first_group[p + 1] = groups.size();
    }
    std::size_t longest = 0;
    for (std::size_t length : lengths) longest = std::max(longest, length);
    for (std::size_t begin = 0; begin < longest; begin += kBlock) {
        for (std::size_t p = 0; p < requests.size(); ++p) add_totals(requests[p], lengths[p], begin, begin + kBlock, totals[p]);
        for (ShiftGroup &group : groups) {
            if (group.any) add_raw_products(group, begin, begin + kBlock);
        }
    }
    for (std::size_t p = 0; p < requests.size(); ++p) {
        const PairTotals &t = totals[p];
        for (std::size_t i = first_group[p]; i < first_group[p + 1]; ++i) {
            ShiftGroup &group = groups[i];
            const bool swapped = group.step < 0;  // negative lags pair b[i] with a[i + s]
            group.totals[0] = swapped ? t.b : t.a, group.totals[1] = swapped ? t.bb : t.aa;
            group.totals[2] = swapped ? t.a : t.b, group.totals[3] = swapped ? t.aa : t.bb;
            if (group.any) finish_raw_scores(group);
        }
    }
    return scores;
}

// The lag with the highest score; its margin over the others gives the confidence.
LagSearchResult pick_best_lag(const std::vector<double> &scores, int max_lag) {
    double best = -1.0;
    double second = -1.0;
    int best_at = 0;
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
    LagSearchResult result;
    result.lag = best_at;
    if (best > 0.0) {
        result.peak = best;
        result.second = second > 0.0 ? second : 0.0;
        result.confidence = std::min(1.0, 0.7 * best + 4.0 * (best - std::max(second, 0.0)));
    }
    return result;
}


}  // namespace

LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag) {
    if (max_lag < 0) return LagSearchResult{};
    return pick_best_lag(lag_scores({LagRequest{&a, &b, max_lag}})[0], max_lag);
}

PairLags search_pairs(const std::vector<std::vector<double>> &ch, const int (&max_lags)[4], bool one_pass) {
    std::vector<std::vector<double>> scores = (one_pass ? one_pass_lag_scores : lag_scores)({LagRequest{&ch[0], &ch[3], max_lags[0]},
                                                          LagRequest{&ch[0], &ch[1], max_lags[1]},
                                                          LagRequest{&ch[1], &ch[2], max_lags[2]},
                                                          LagRequest{&ch[2], &ch[3], max_lags[3]}});
    return PairLags{pick_best_lag(scores[0], max_lags[0]), pick_best_lag(scores[1], max_lags[1]),
                    pick_best_lag(scores[2], max_lags[2]), pick_best_lag(scores[3], max_lags[3])};
}

std::vector<LagSearchResult> lags_behind_first(const std::vector<std::vector<double>> &channels,
                                               const std::vector<int> &max_lags) {
    std::vector<LagRequest> requests;
    for (std::size_t i = 1; i < channels.size() && i <= max_lags.size(); ++i) {
        requests.push_back(LagRequest{&channels[0], &channels[i], max_lags[i - 1]});
    }
    const std::vector<std::vector<double>> scores = one_pass_lag_scores(requests);
    std::vector<LagSearchResult> found;
    for (std::size_t r = 0; r < scores.size(); ++r) found.push_back(pick_best_lag(scores[r], requests[r].max_lag));
    return found;
}
