#pragma once
// --directions-out: one JSON object per chunk, one line each, as live mode (and a batch run, chunk
// by chunk of --live-chunk-frames) finds the direction:
//   {"time":1717171717.123,"chunk":1,"angle_degrees":-17.93,"confidence":0.712,
//    "low_confidence":false,"speech":true,"rms":0.012345}
// `time`: the chunk's first sample, Unix seconds (live) or seconds from the recording's start
// (batch), to the millisecond. `chunk`: 1 for the first, as the status lines count.
#include <optional>
#include <string>

#include "live.h"
#include "options.h"
#include "output_stream.h"
#include "run_log.h"
#include "wav.h"

struct DirectionLine {
    double time = 0.0;
    long chunk = 0;
    double angle_degrees = 0.0;
    double confidence = 0.0;
    bool low_confidence = true;
    bool speech = false;
    double rms = 0.0;  // of the processed channels together, full scale 1
};

// Lagging the clock by more than this, the chain of live chunk times starts again from the clock: samples were
// lost, or the device stopped for a while.
constexpr double kChunkChainResyncSeconds = 0.25;

// The wall clock of a live chunk's first sample, Unix seconds, for a chunk `duration` seconds long read whole at
// `read_at`. Chunks follow each other without a gap, so the chunk starts where the one before ended
// (`previous_end`), but no later than `read_at - duration`: two chunks read at once, the reader having been late,
// still lie a chunk apart. The first chunk, and one the chain lags by more than kChunkChainResyncSeconds, start
// at `read_at - duration`.
double chunk_first_sample_time(double read_at, double duration, std::optional<double> previous_end);

DirectionLine direction_line_of(double time, long chunk, const LiveChunkResult &result);

// The line's JSON text, newline included.
std::string direction_line_json(const DirectionLine &line);

// A batch run's lines: `processed` (the gain already applied) cut into chunks of
// `options.live_chunk_frames`, the last one as short as it comes, each through live mode's chain.
std::string recording_direction_lines(const WavData &processed, const Options &options);

// Live mode: writes the chunk's line without waiting; logs the warning once when the output goes.
void send_direction_line(LineOutput &output, const DirectionLine &line, Logger &logger);
