#pragma once
// Lags between channel pairs: the mean-centred Pearson correlation of each whole-sample lag in a
// window, several pairs searched in one blocked pass over the channels.
#include <vector>

struct LagSearchResult {
    int lag = 0;
    double peak = 0.0;
    double second = 0.0;
    double confidence = 0.0;
};

// A positive lag L: b[i + L] lines up with a[i], so b hears the sound L samples after a.
LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag);

// The four searched pairs of a 4-channel record: the outer one (0, 3), then the neighbours in
// channel order.
struct PairLags {
    LagSearchResult outer, p01, p12, p23;
};

// All four pairs in one blocked pass over the channels, pair k within max_lags[k]: the exact
// two-pass scores, or with `one_pass` the sums of one pass (rounded differently, far below any
// digit the program prints).
PairLags search_pairs(const std::vector<std::vector<double>> &channels, const int (&max_lags)[4], bool one_pass);

// Channel 0 against each channel i >= 1 within max_lags[i - 1] (not negative), all in one pass
// over the channels with the one-pass sums (as search_pairs with `one_pass`).
std::vector<LagSearchResult> lags_behind_first(const std::vector<std::vector<double>> &channels,
                                               const std::vector<int> &max_lags);
