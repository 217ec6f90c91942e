#pragma once
// The live PCM output, a file or a FIFO, opened and written without blocking, so that a stop request
// (stop_signals.h) also ends the wait for a FIFO's reader and for room in a FIFO nobody reads.
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Opens `path` for writing, created 0666 less the umask and truncated, as fopen "w" does. A FIFO is
// opened once a reader has opened it; a FIFO that goes away meanwhile fails the open rather than
// leaving a regular file in its place. With `fifo_only`, anything but an existing FIFO fails it.
// Returns the descriptor, or -1 when the open failed or a stop was requested before a reader came.
int open_pcm_output(const std::string &path, bool fifo_only = false);

bool is_fifo(const std::string &path);

// One write with SIGPIPE held back: a reader that left then shows as EPIPE instead of killing the
// program. Console and log writes keep the default disposition.
ssize_t write_without_sigpipe(int fd, const unsigned char *bytes, std::size_t size);

enum class ChunkDelivery { delivered, stopped, failed };

// Writes all of `bytes`, waiting for room as long as the run goes on. Once a stop is requested, a
// reader still reading gets a short while to take the rest (kStopDrain); after it the chunk counts
// as not delivered. On a failed write `error` holds its errno (EPIPE: the reader went away).
ChunkDelivery write_pcm_chunk(int fd, const std::vector<unsigned char> &bytes, int &error);
