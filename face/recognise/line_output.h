#pragma once
// A stream of lines for another program (--faces-out): a regular file, created or truncated, or a FIFO once a
// reader has opened it. Writing never waits: a line the reader cannot take at once is dropped and counted, so a
// slow or stopped reader never holds the loop up.
#include <string>

struct LineOutput {
    int fd = -1;
    std::string unfinished;  // the rest of a line a full FIFO took only in part; finished before the next line
    long long dropped = 0;
};

// Opens `path` for writing; a FIFO is waited for until a reader opens it or a stop signal asks (then `out.fd`
// stays -1 and the result is empty). The result is why the path cannot be written (a directory, no permission,
// no such directory), or empty.
std::string open_line_output(const std::string &path, LineOutput &out);

// Writes `line` and a newline whole, or drops it: when the reader has no room for it now, has gone away, or the
// previous line is not finished yet.
void write_line(LineOutput &out, const std::string &line);

// Gives an unfinished line a short while to go out (a line the reader gets cut is its to skip), then closes.
void close_line_output(LineOutput &out);
