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

// With `mic_positions` (metres, channel order; empty: none) the steered lags are each channel's
// own geometric delay for the estimated angle, rounded, and the fallback searches of the first
// four channels cover the delays their distance from channel 0 allows.
BeamformResult beamform_delay_and_sum(const WavData &audio, const DirectionEstimate &direction,
                                      const std::vector<double> &mic_positions = {});

// The same beam, made in channel 0's storage and moved out of it: no second buffer of the
// signal's length. `audio` keeps its other channels and its format; channel 0 is left empty.
BeamformResult beamform_in_place(WavData &audio, const DirectionEstimate &direction,
                                 const std::vector<double> &mic_positions = {});
