#pragma once
// Output files written whole or not at all: the bytes go to a hidden file beside the destination,
// which a rename then puts in its place. A signal, a full disk or a failed write never leaves a
// half-written file under the destination's name.
#include <cstdio>
#include <functional>
#include <string>

// Calls `write` on a new hidden file beside `path` (".NAME.XXXXXX", beside the file that a
// symbolic link names) and, when it returns true and the file is closed without error, renames it
// onto `path`. A file it replaces keeps its mode; a new one gets 0666 less the umask, as fopen
// gives it; one that may not be written is not replaced. Returns false, with `path` untouched and
// no hidden file left, when any step fails.
// A `path` that exists and is not a regular file (/dev/null, a FIFO, a terminal) cannot be
// replaced and is written directly.
bool write_file_whole(const std::string &path, const std::function<bool(std::FILE *)> &write);
