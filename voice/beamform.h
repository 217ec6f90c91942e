#pragma once
// Delay-and-sum beam: each channel read at its own whole-sample offset, averaged.
#include <string>
#include <vector>

#include "direction.h"
#include "wav.h"

struct BeamformResult {
    std::vector<double> samples;
    std::vector<int> lags;
    std::string method;
};

BeamformResult beamform_delay_and_sum(const WavData &audio, const DirectionEstimate &direction);
