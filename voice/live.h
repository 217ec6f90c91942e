#pragma once
// Live mode: continuous capture, per-chunk chain, s16le mono PCM into a file or FIFO.
#include "options.h"

struct LiveCounters {
    int chunks_processed = 0;
    int low_confidence_chunks = 0;
    bool speech_seen = false;
};

// Returns the exit status: 0, 30, 31, 32 (or the status for a closed output, see README).
int run_live_mode(const Options &options, Logger &logger);
