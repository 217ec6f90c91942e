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

// Everything a batch run hands to the manifest, borrowed for the length of the call.
struct EventReport {
    const Options &options;  // device, output_path (the input WAV when one was given), beamformed_path, gain
    const WavData &raw;      // the file as read: rate, channels, bits per sample
    double duration_seconds;  // frames of channel 0 / sample rate, 0 when not computable
    const ChannelDiagnostics &raw_diagnostics;
    const ChannelDiagnostics &processed_diagnostics;  // its RMS decides "detected_speech"
    const ChannelDiagnostics &beam_diagnostics;
    const DirectionEstimate &direction;
    const BeamformResult &beam;
    const std::vector<std::string> &warnings;  // the run's list, in collection order
};

// Writes the manifest to `path` (truncating it). Throws std::runtime_error("failed to
// write event JSON: " + path) when the file cannot be opened or completely written.
void write_event_json(const std::string &path, const EventReport &report);
