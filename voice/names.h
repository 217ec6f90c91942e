#pragma once
// vocrin's exit statuses, each spelt here and nowhere else. 0: a normal end, or help.

// The command line was refused: the usage text (and, for some faults, a message) is printed.
constexpr int kRejectedCommandLineStatus = 2;
// Batch mode: arecord's capture failed.
constexpr int kCaptureFailedStatus = 10;
// A runtime error (an unreadable WAV, an output that cannot be written), reported as an error line.
constexpr int kRuntimeErrorStatus = 20;
// Live mode: arecord could not be started.
constexpr int kLiveRecorderNotStartedStatus = 30;
// Live mode: the PCM output could not be opened.
constexpr int kLiveOutputNotOpenedStatus = 31;
// Live mode: a continuous run's capture ended with a failure status.
constexpr int kLiveCaptureFailedStatus = 32;
// Live mode: the PCM output stopped taking data (its reader went away, or a write failed).
constexpr int kLiveOutputClosedStatus = 33;
