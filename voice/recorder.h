#pragma once
// The capture program (arecord): its command lines, and the child process that every end of a run
// stops and reaps.
#include <sys/types.h>

#include <chrono>
#include <string>

// The Kinect v2 array: 4 channels of S32_LE at 16 kHz, fixed by the hardware, not options.
constexpr int kCaptureRate = 16000;
constexpr int kCaptureChannels = 4;

std::string shell_quote(const std::string &text);

// "arecord -D 'DEVICE' -f S32_LE -r 16000 -c 4": the part both capture command lines share.
std::string arecord_capture_prefix(const std::string &device);

struct RecorderProcess {
    pid_t pid = -1;
    int output_fd = -1;  // read end of its standard output; -1 when it writes a file itself
};

// Runs `command` through /bin/sh, which execs it, so the pid is the recorder's own. With `piped`
// its standard output comes to output_fd. A second stop request kills it (stop_signals.h).
bool start_recorder(const std::string &command, bool piped, RecorderProcess &recorder);

// Waits for the recorder to end by itself and stores its wait status, as system() returns it.
// Returns false, leaving it running, as soon as SIGINT or SIGTERM asks the run to stop.
bool wait_for_recorder(RecorderProcess &recorder, int &status);

// The one way a recorder is ended: its pipe is closed, it gets `grace` to end by itself (a real
// arecord does on its next write), then SIGTERM, then SIGKILL a second later. Always reaps it and
// returns its wait status (-1 when there was none to reap).
int stop_recorder(RecorderProcess &recorder, std::chrono::milliseconds grace);
