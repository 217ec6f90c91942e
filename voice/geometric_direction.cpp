#include "geometric_direction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "direction_confidence.h"
#include "lag_search.h"
#include "direction_history.h"
#include "steered_response.h"

namespace {

constexpr double kPi = 3.141592653589793;
// Longest search that the program runs for one pair, whatever rate and spacing a file claims.
constexpr int kLongestGeometricLag = 1000;

}  // namespace

int geometric_lag_limit(double distance_m, int32_t sample_rate) {
    const double travel = std::fabs(distance_m) * sample_rate / kSpeedOfSound;
    if (!(travel < kLongestGeometricLag)) return kLongestGeometricLag;
    return std::min(kLongestGeometricLag, static_cast<int>(std::ceil(travel)) + 1);
}

std::vector<double> geometric_delays(const std::vector<double> &mic_positions, double angle_degrees,
                                     int32_t sample_rate) {
    std::vector<double> delays(mic_positions.size(), 0.0);
    if (mic_positions.size() < 2) return delays;
    const double along = mic_positions.back() - mic_positions.front();
    const double outer = std::sin(angle_degrees * kPi / 180.0) * std::fabs(along) * sample_rate / kSpeedOfSound;
    for (std::size_t i = 0; i < mic_positions.size(); ++i) {
        delays[i] = (mic_positions[i] - mic_positions.front()) / along * outer;
    }
    return delays;
}

DirectionEstimate estimate_direction_geometric(const WavData &audio, const std::string &samples_source,
                                               const std::vector<double> &mic_positions, DirectionHistory *history) {
    DirectionEstimate estimate;
    estimate.method = kGeometricDirectionMethod;
    estimate.geometric = true;
    estimate.samples_source = samples_source;
    if (!direction_analysable(audio) || mic_positions.size() != 4 || audio.sample_rate <= 0) return estimate;

    const std::vector<double> &x = mic_positions;
    const int32_t rate = audio.sample_rate;
    const int max_lags[4] = {geometric_lag_limit(x[3] - x[0], rate), geometric_lag_limit(x[1] - x[0], rate),
                             geometric_lag_limit(x[2] - x[1], rate), geometric_lag_limit(x[3] - x[2], rate)};
    // The angle and its confidence from all six pairs' whitened cross-spectra.
    PairSpectra spectra = whitened_pair_spectra(audio.samples);
    const std::vector<double> travel = geometric_delays(x, 90.0, rate);
    SteeringGrid grid;
    if (history != nullptr && history->grid.travel != travel) history->grid = steering_grid(travel, candidate_sines(travel));
    if (history == nullptr) grid = steering_grid(travel, candidate_sines(travel));
    const PairSpectra &heard = history != nullptr ? remember_spectra(*history, std::move(spectra)) : spectra;
    SteeredDirection found;
    const bool steered = steered_direction(heard, history != nullptr ? history->grid : grid, found);
    // The pairs' whole-lag searches: batch reports their lags, peaks and consistency, live mode
    // (with a history) none of them, so there they run only for an array too wide for the frame,
    // whose outer whole lag and the pairs' confidence then stand in for the steered response.
    if (history == nullptr || !steered) {
        const PairLags lags = search_pairs(audio.samples, max_lags, true);
        set_pair_results(estimate, lags);
        estimate.delay_samples = lags.outer.lag;
    }
    if (steered) {
        estimate.delay_samples = found.sine * travel[3];
        if (history != nullptr) {
            // Live mode: the chance that the angle is within 10 degrees; flagged below kLiveTrustedChance.
            estimate.confidence = chance_within_10_degrees(found);
            estimate.low_confidence = !(estimate.confidence >= kLiveTrustedChance);
        } else {
            set_direction_confidence(estimate, found.confidence);
        }
    }
    // Positive when channel 3 hears the sound later than channel 0, whichever way the row runs.
    const double s = std::clamp(estimate.delay_samples / travel[3], -1.0, 1.0);
    estimate.angle_degrees = std::asin(s) * 180.0 / kPi;
    return estimate;
}
