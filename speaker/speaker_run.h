#pragma once
// A run of lumivar_speaker: both streams opened and read together, each voice chunk joined with its picture, then
// either the speaker of every chunk (run_speaker) or the fit of the geometry (run_calibration).
#include "speaker_options.h"

// Both return the exit status (speaker/names.h); everything but command-line problems goes to standard output,
// the first bad line of each stream to standard error.
int run_speaker(const SpeakerOptions &options);
int run_calibration(const SpeakerOptions &options);
