#pragma once
// Processing gain applied to a copy of the audio; the raw record is never changed.
#include <string>
#include <vector>

#include "wav.h"

// Appends at most one clipping warning to `warnings`.
WavData apply_input_gain(const WavData &input, double gain_db, std::vector<std::string> &warnings);

// Same stage on a record the caller no longer needs raw (e.g. once its raw levels are taken):
// saves the copy, which doubles the audio's memory. Returns false when no sample can have
// changed: at 0 dB the factor is exactly 1 and samples lie within [-1, 1] (every reader clamps
// them there), so that pass is skipped.
bool apply_input_gain_in_place(WavData &audio, double gain_db, std::vector<std::string> &warnings);
