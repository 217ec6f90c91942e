#pragma once
// Direction of arrival from the lags between channel pairs: whole-sample lags within fixed limits,
// or, given the microphones' positions, lags within the array's physical limits refined below
// one sample.
#include <cstdint>
#include <string>
#include <vector>

#include "wav.h"

struct LagSearchResult {
    int lag = 0;
    double peak = 0.0;
    double second = 0.0;
    double confidence = 0.0;
};

struct DirectionEstimate {
    double angle_degrees = 0.0;
    double confidence = 0.0;
    int lag_samples = 0;
    double peak_correlation = 0.0;
    double second_correlation = 0.0;
    double lag_consistency = 0.0;
    std::string method = "processed multi-pair centered cross-correlation";
    std::string samples_source;
    bool low_confidence = true;
    // Delay of channel 3 behind channel 0 in samples: the whole lag, or with the microphones'
    // positions the lag refined below one sample (before the angle is clamped).
    double delay_samples = 0.0;
    bool geometric = false;  // made by estimate_direction_geometric
};

constexpr double kSpeedOfSound = 343.0;  // m/s
constexpr const char *kGeometricDirectionMethod =
    "processed multi-pair centered cross-correlation, geometric angle from mic positions";

// A positive lag L: b[i + L] lines up with a[i], so b hears the sound L samples after a.
LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag);

// Stores the combined pair score as the confidence, clamped to [0, 1]; below 0.35 the
// angle is flagged as a weak hint.
void set_direction_confidence(DirectionEstimate &estimate, double combined);

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source);

// The angle from the array's own geometry: `mic_positions` are the four microphones' positions
// in metres along the row, in channel order. Each pair is searched over the delays its spacing
// allows at the file's rate, the outer pair's delay is measured below one sample from its
// phase-weighted cross-spectrum (phat_delay.h), and the angle is asin(delay * c / (rate * span)), clamped. Confidence, flag, lag and
// consistency keep their meaning.
DirectionEstimate estimate_direction_geometric(const WavData &audio, const std::string &samples_source,
                                               const std::vector<double> &mic_positions);

// The geometric estimate when the microphones' positions are given (--mic-positions), else the
// whole-sample one: batch and live mode choose alike.
DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source,
                                     const std::vector<double> &mic_positions);

// Largest lag a pair `distance_m` apart can show at `sample_rate`, rounded up, plus one sample for
// the refinement's neighbour (at most 1000).
int geometric_lag_limit(double distance_m, int32_t sample_rate);

// Each microphone's delay behind the first, in samples, for a sound from `angle_degrees`
// (positive: the last microphone hears it later).
std::vector<double> geometric_delays(const std::vector<double> &mic_positions, double angle_degrees,
                                     int32_t sample_rate);
