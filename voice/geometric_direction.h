#pragma once
// The direction from the array's own geometry (--mic-positions): lags searched within the limits
// the spacings allow, the angle from all six pairs' steered response, and the delays a direction
// means.
#include <cstdint>
#include <string>
#include <vector>

#include "direction.h"
#include "wav.h"

constexpr double kSpeedOfSound = 343.0;  // m/s
// Live mode's estimate is flagged below this chance of lying within 10 degrees of the sound: of the
// right chunks of the measurement (0.3 s rooms) 98-99% are spared on either side, and 60-68% of the
// wrong ones flagged.
constexpr double kLiveTrustedChance = 0.7;
constexpr const char *kGeometricDirectionMethod =
    "processed multi-pair centered cross-correlation, geometric angle from mic positions";

// `mic_positions` are the four microphones' positions in metres along the row, in channel order.
// Each pair is searched over the delays its spacing allows at the file's rate (lag, peaks and
// consistency keep their meaning); the angle, its confidence and the outer delay come from the
// steered response of all six pairs (steered_response.h). With a `history` (live mode) the
// response rests on the last half second's chunks (direction_history.h), its confidence is the chance
// that the angle lies within 10 degrees (chance_within_10_degrees), and the pairs' lag searches,
// which only batch reports, run only when the array is too wide for the steered response.
DirectionEstimate estimate_direction_geometric(const WavData &audio, const std::string &samples_source,
                                               const std::vector<double> &mic_positions,
                                               DirectionHistory *history = nullptr);

// Largest lag a pair `distance_m` apart can show at `sample_rate`, rounded up, plus one sample for
// the refinement's neighbour (at most 1000).
int geometric_lag_limit(double distance_m, int32_t sample_rate);

// Each microphone's delay behind the first, in samples, for a sound from `angle_degrees`
// (positive: the last microphone hears it later).
std::vector<double> geometric_delays(const std::vector<double> &mic_positions, double angle_degrees,
                                     int32_t sample_rate);
