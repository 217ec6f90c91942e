#pragma once
// The two inputs, read line by line without waiting on either: a regular file to its end (or, with --follow, on
// as it grows), a FIFO or pipe as the lines come until its writer goes away. Only whole lines count: what follows
// the last newline when a stream ends is a cut line. Nothing read is ever written.
#include <string>
#include <vector>

// A line longer than this is no line of ours: it is cut there and the rest of it skipped.
constexpr size_t kLongestLine = 1 << 20;

struct InputStream {
    std::string path;
    int fd = -1;
    bool regular = false;  // a regular file: read without polling
    bool follow = false;   // a regular file that may still grow
    bool at_end = false;   // a followed file with nothing more for now
    bool ended = false;    // nothing more will come
    std::string partial;   // bytes after the last newline
    bool skipping = false; // inside an over-long line
    long long lines = 0;   // lines taken so far, cut ones included
};

// Opens `path` for reading without waiting (a FIFO needs no writer yet). Empty, or why it cannot be read.
std::string open_input(const std::string &path, bool follow, InputStream &stream);

// One line taken from a stream: its text and whether it arrived whole.
struct InputLine {
    std::string text;
    bool whole = true;  // false: cut (the stream ended inside it, or it was longer than kLongestLine)
    long long number = 0;
};

// Reads what the stream holds now (at most one block), without waiting, and appends the lines completed. A FIFO
// ends once a writer has come and gone; until a writer comes it simply has nothing.
void read_available(InputStream &stream, std::vector<InputLine> &lines);

// Waits until a polled stream has something, a followed file may have grown, or a stop was asked.
void wait_for_input(const std::vector<InputStream *> &streams);

void close_input(InputStream &stream);
