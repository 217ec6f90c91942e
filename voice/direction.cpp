#include "direction.h"

#include <algorithm>
#include <cmath>

#include "direction_confidence.h"
#include "geometric_direction.h"
#include "lag_search.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kOuterMaxLag = 8;
constexpr int kAdjacentMaxLag = 4;

}  // namespace

bool direction_analysable(const WavData &audio) {
    return audio.channels >= 4 && audio.samples.size() >= 4 && !audio.samples[0].empty();
}

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source) {
    DirectionEstimate estimate;
    estimate.samples_source = samples_source;
    if (!direction_analysable(audio)) return estimate;

    const PairLags lags = search_pairs(audio.samples, {kOuterMaxLag, kAdjacentMaxLag, kAdjacentMaxLag, kAdjacentMaxLag}, false);
    set_pair_results(estimate, lags);
    estimate.delay_samples = lags.outer.lag;

    // A lag of 8 samples is full scale: the sound arrives end-on (90 degrees).
    const double s = std::clamp(lags.outer.lag * 0.125, -1.0, 1.0);
    estimate.angle_degrees = std::asin(s) * 180.0 / kPi;
    return estimate;
}

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source,
                                     const std::vector<double> &mic_positions, DirectionHistory *history) {
    return mic_positions.empty() ? estimate_direction(audio, samples_source)
                                 : estimate_direction_geometric(audio, samples_source, mic_positions, history);
}
