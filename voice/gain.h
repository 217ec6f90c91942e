#pragma once
// Processing gain applied to a copy of the audio; the raw record is never changed.
#include <string>
#include <vector>

#include "wav.h"

// Appends at most one clipping warning to `warnings`.
WavData apply_input_gain(const WavData &input, double gain_db, std::vector<std::string> &warnings);
