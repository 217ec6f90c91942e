#include "direction_confidence.h"

#include <algorithm>
#include <cstdlib>

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

void set_pair_results(DirectionEstimate &estimate, const PairLags &lags) {
    estimate.lag_samples = lags.outer.lag;
    estimate.peak_correlation = lags.outer.peak;
    estimate.second_correlation = lags.outer.second;

    // Adjacent lags should add up to the outer one; each sample of disagreement costs 1/8.
    const int disagreement = std::abs(lags.outer.lag - (lags.p01.lag + lags.p12.lag + lags.p23.lag));
    estimate.lag_consistency = std::max(0.0, 1.0 - disagreement * 0.125);

    const double adjacent = (lags.p01.confidence + lags.p12.confidence + lags.p23.confidence) / 3.0;
    set_direction_confidence(estimate,
                             adjacent * 0.25 + 0.55 * lags.outer.confidence + 0.2 * estimate.lag_consistency);
}
