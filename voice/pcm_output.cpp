#include "pcm_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a FIFO without a reader is tried again; the stop request wakes the wait at once.
constexpr int kReaderPollMs = 50;
// What a reader that still reads gets, after a stop request, to take the chunk in hand.
constexpr auto kStopDrain = std::chrono::milliseconds(200);

}  // namespace

ssize_t write_without_sigpipe(int fd, const unsigned char *bytes, std::size_t size) {
    sigset_t pipe_only;
    sigset_t previous;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_only, &previous);
    const ssize_t written = ::write(fd, bytes, size);
    const int error = errno;
    if (written < 0 && error == EPIPE) {
        // Consume the signal this write raised so that it does not arrive on unblocking.
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_only, nullptr, &no_wait);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

namespace {

// Waits until `fd` takes data, or, before a stop request, until one comes. False once the drain
// after a stop request is over.
bool wait_for_room(int fd, Clock::time_point &drain_end) {
    int wait_ms = -1;
    if (stop_signal() != 0) {
        if (drain_end == Clock::time_point()) {
            drain_end = Clock::now() + kStopDrain;
        }
        wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(drain_end - Clock::now()).count());
        if (wait_ms <= 0) {
            return false;
        }
    }
    // After a stop request the wake-up pipe stays readable: only the output is watched then.
    pollfd ends[2] = {{fd, POLLOUT, 0}, {stop_wake_fd(), POLLIN, 0}};
    ::poll(ends, stop_signal() != 0 ? 1 : 2, wait_ms);
    return true;
}

}  // namespace

bool is_fifo(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

int open_pcm_output(const std::string &path, bool fifo_only) {
    // A FIFO is never created: were it removed while the reader is awaited, a creating open would fill a
    // regular file in the pipe's place (on a RAM disk, for a sound server's pipe).
    const bool fifo = is_fifo(path);
    if (fifo_only && !fifo) {
        return -1;
    }
    const int flags = fifo ? O_WRONLY | O_NONBLOCK | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC;
    for (;;) {
        const int fd = ::open(path.c_str(), flags, 0666);
        // ENXIO from a FIFO: no reader has it open yet.
        if (fd >= 0 || errno != ENXIO || !is_fifo(path) || stop_signal() != 0) {
            return fd;
        }
        pollfd wake{stop_wake_fd(), POLLIN, 0};
        ::poll(&wake, 1, kReaderPollMs);
    }
}

ChunkDelivery write_pcm_chunk(int fd, const std::vector<unsigned char> &bytes, int &error) {
    std::size_t done = 0;
    Clock::time_point drain_end;
    while (done < bytes.size()) {
        const ssize_t written = write_without_sigpipe(fd, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            if (!wait_for_room(fd, drain_end)) {
                return ChunkDelivery::stopped;
            }
        } else if (written == 0 || errno != EINTR) {
            error = written < 0 ? errno : EIO;
            return ChunkDelivery::failed;
        }
    }
    return ChunkDelivery::delivered;
}
