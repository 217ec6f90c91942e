#pragma once
// Batch mode: capture with arecord (or take a WAV), analyse, write beam, manifest and log.
#include <string>

#include "options.h"

// The Kinect v2 array: 4 channels of S32_LE at 16 kHz, fixed by the hardware, not options.
constexpr int kCaptureRate = 16000;
constexpr int kCaptureChannels = 4;

std::string shell_quote(const std::string &text);

// "arecord -D 'DEVICE' -f S32_LE -r 16000 -c 4": the part both capture command lines share.
std::string arecord_capture_prefix(const std::string &device);

// Returns 0 or 10; runtime errors propagate to the entry (status 20).
int run_batch_pipeline(Options &options, Logger &logger);
