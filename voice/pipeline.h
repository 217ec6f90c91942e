#pragma once
// Batch mode: capture with arecord (or take a WAV), analyse, write beam, manifest and log.
#include <string>

#include "options.h"
#include "run_log.h"

// Returns 0 or kCaptureFailedStatus (names.h); runtime errors propagate to the entry.
int run_batch_pipeline(Options &options, Logger &logger);
