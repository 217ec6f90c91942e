#pragma once
// --directions-out: one JSON object per chunk, one line each, as live mode (and a batch run, chunk
// by chunk of --live-chunk-frames) finds the direction:
//   {"time":1717171717.123,"chunk":1,"angle_degrees":-17.93,"confidence":0.712,
//    "low_confidence":false,"speech":true,"rms":0.012345}
// `time`: the chunk's first sample, Unix seconds (live) or seconds from the recording's start
// (batch), to the millisecond. `chunk`: 1 for the first, as the status lines count.
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

DirectionLine direction_line_of(double time, long chunk, const LiveChunkResult &result);

// The line's JSON text, newline included.
std::string direction_line_json(const DirectionLine &line);

// A batch run's lines: `processed` (the gain already applied) cut into chunks of
// `options.live_chunk_frames`, the last one as short as it comes, each through live mode's chain.
std::string recording_direction_lines(const WavData &processed, const Options &options);

// Live mode: writes the chunk's line without waiting; logs the warning once when the output goes.
void send_direction_line(LineOutput &output, const DirectionLine &line, Logger &logger);
