#pragma once
// --out: a regular file, created or truncated, or a FIFO once a reader has opened it. Writing never waits on the
// reader: a line it cannot take whole at once is dropped and counted.
#include <string>

struct LineOutput {
    int fd = -1;
    std::string unfinished;  // the rest of a line a full FIFO took only in part; finished before the next line
    long long dropped = 0;
};

// Opens `path`; a FIFO is waited for until a reader opens it or a stop is asked (then `out.fd` stays -1 and the
// result is empty). The result is why the path cannot be written, or empty.
std::string open_line_output(const std::string &path, LineOutput &out);

// Writes `line` and a newline whole, or drops it.
void write_line(LineOutput &out, const std::string &line);

// Gives an unfinished line a short while to go out, then closes.
void close_line_output(LineOutput &out);
