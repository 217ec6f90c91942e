#pragma once
// Per-channel levels: RMS, peak and the noise floor of the quietest 20 ms windows.
#include <string>
#include <vector>

#include "run_log.h"
#include "wav.h"

struct ChannelDiagnostics {
    std::vector<double> rms;
    std::vector<double> peak;
    std::vector<double> noise_floor;
    std::vector<std::string> warnings;
};

ChannelDiagnostics diagnose_channels(const WavData &audio, const std::string &label);
// The levels of `measured` with the warnings named by `label`: what diagnose_channels gives for
// audio with the same samples, without measuring them again.
ChannelDiagnostics relabel_diagnostics(const ChannelDiagnostics &measured, const std::string &label);
// Speech is taken to be present when any channel's RMS is strictly above 0.003.
bool speech_level_reached(const std::vector<double> &rms);

void log_diagnostics(Logger &logger, const std::string &heading, const ChannelDiagnostics &diagnostics);
