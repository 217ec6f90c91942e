#pragma once
// A line output beside the run's own (--directions-out): a regular file created or truncated, or a
// FIFO that waits for its reader as the live PCM output does. Live mode never waits on it: a line
// the reader cannot take at once is dropped and counted. A batch run, which keeps no pace, waits
// for room instead.
#include <string>

struct LineOutput {
    std::string path;
    int fd = -1;
    long dropped = 0;      // lines not taken at once (live)
    std::string rest;      // the end of a line that went out only in part, sent before any other
    bool gone = false;     // the reader went away or a write failed: nothing more is written
    int error = 0;         // then the errno of that write (EPIPE: the reader went away)
};

// Empty when `path` can be opened for writing as a line output, else why not (as strerror puts
// it). Neither creates nor changes anything; a FIFO is taken as it is.
std::string line_output_problem(const std::string &path);

// Opens `path` (open_pcm_output): false when it cannot be opened, or a stop came before a FIFO's reader.
bool open_line_output(LineOutput &output, const std::string &path);

// Writes one whole line (newline included) without waiting: dropped (and counted) when the output
// has no room for all of it. False once the output is gone, the write that found it so included.
bool write_line_now(LineOutput &output, const std::string &line);

// Writes `text`, waiting for room as write_pcm_chunk does. False once the output is gone.
bool write_text_waiting(LineOutput &output, const std::string &text);

void close_line_output(LineOutput &output);

// The warning for an output that is gone, without "warning: ".
std::string line_output_failure(const LineOutput &output, const std::string &name);
