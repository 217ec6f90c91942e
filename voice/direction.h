#pragma once
// Direction of arrival from the lags between channel pairs: whole-sample lags within fixed limits,
// or, given the microphones' positions, the geometric estimate (geometric_direction.h).
#include <string>
#include <vector>

#include "wav.h"

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

// Four channels with samples: anything less keeps the default, low-confidence estimate.
bool direction_analysable(const WavData &audio);

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source);

struct DirectionHistory;

// The geometric estimate when the microphones' positions are given (--mic-positions), else the
// whole-sample one: batch and live mode choose alike. A `history` (live mode) is used by the
// geometric estimate only.
DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source,
                                     const std::vector<double> &mic_positions, DirectionHistory *history = nullptr);
