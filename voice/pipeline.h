#pragma once
// Batch mode: capture with arecord (or take a WAV), analyse, write beam, manifest and log.
#include <string>

#include "options.h"

std::string shell_quote(const std::string &text);

// Returns 0 or 10; runtime errors propagate to the entry (status 20).
int run_batch_pipeline(Options &options, Logger &logger);
