#pragma once
// The JSON event manifest of a batch run, written by hand in a fixed layout.
#include <string>
#include <vector>

#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "options.h"
#include "wav.h"

std::string json_escape(const std::string &text);
std::string vector_json(const std::vector<double> &values);
std::string int_vector_json(const std::vector<int> &values);

struct EventReport {
    const Options &options;
    const WavData &raw;
    double duration_seconds;
    const ChannelDiagnostics &raw_diagnostics;
    const ChannelDiagnostics &processed_diagnostics;
    const ChannelDiagnostics &beam_diagnostics;
    const DirectionEstimate &direction;
    const BeamformResult &beam;
    const std::vector<std::string> &warnings;
};

// Throws std::runtime_error("failed to write event JSON: " + path) when the file
// cannot be opened or completely written.
void write_event_json(const std::string &path, const EventReport &report);
