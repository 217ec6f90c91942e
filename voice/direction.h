#pragma once
// Direction of arrival from whole-sample lags between channel pairs.
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
};

// A positive lag L: b[i + L] lines up with a[i], so b hears the sound L samples after a.
LagSearchResult best_lag(const std::vector<double> &a, const std::vector<double> &b, int max_lag);

// Stores the combined pair score as the confidence, clamped to [0, 1]; below 0.35 the
// angle is flagged as a weak hint.
void set_direction_confidence(DirectionEstimate &estimate, double combined);

DirectionEstimate estimate_direction(const WavData &audio, const std::string &samples_source);
