#pragma once
// Live mode: continuous capture, per-chunk chain, s16le mono PCM into a file or FIFO.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "beam_processing.h"
#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "direction_history.h"
#include "options.h"
#include "run_log.h"
#include "wav.h"

struct LiveCounters {
    int chunks_processed = 0;
    int low_confidence_chunks = 0;
    bool speech_seen = false;
    int chunks_not_delivered = 0;  // processed, but stopped before the output took them whole
};

// What one chunk leaves behind: the processed levels, the estimate, the beam and the gain warnings.
struct LiveChunkResult {
    ChannelDiagnostics diagnostics;
    DirectionEstimate direction;
    BeamformResult beam;
    std::vector<std::string> gain_warnings;
    bool speech = false;  // with a speech detection (speech_detection.h)
};

struct SpeechDetection;

std::string live_capture_command(const Options &options);

// `frames` interleaved 4-channel S32_LE frames (16 bytes each) as a 16 kHz WavData, each value scaled by 2^-31.
WavData live_chunk_audio(const unsigned char *interleaved_s32le, std::size_t frames);

// Gain (in place: the chunk is the chain's own copy), levels, direction and beam of one chunk;
// with `mic_positions` (see Options) the direction from the array's geometry, resting on the
// chunks `history` holds when one is given; with `processing` the run's fixed angle, noise
// suppression and gain control; with `speech` whether the chunk holds speech.
LiveChunkResult process_live_chunk(WavData chunk, double input_gain_db, const std::vector<double> &mic_positions = {},
                                   DirectionHistory *history = nullptr, BeamProcessing *processing = nullptr,
                                   SpeechDetection *speech = nullptr);

// Returns the exit status: 0 or one of the live statuses of names.h.
int run_live_mode(const Options &options, Logger &logger);
