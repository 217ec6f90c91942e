#include "recognise/line_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/stop_signals.h"

namespace {

// How often a FIFO without a reader is tried again.
constexpr int kReaderPollMs = 50;
// What an unfinished line gets at the end of the run.
constexpr int kCloseDrainMs = 200;

// One write with SIGPIPE held back: a reader that went away shows as EPIPE instead of ending the program.
ssize_t write_without_sigpipe(int fd, const char *bytes, size_t size) {
    sigset_t pipe_only;
    sigset_t previous;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
    const ssize_t written = ::write(fd, bytes, size);
    const int error = errno;
    if (written < 0 && error == EPIPE) {
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_only, nullptr, &no_wait);  // take the signal this write raised
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

// Writes what the output takes now; false when it fails for good (the reader went away, the disk is full).
bool write_what_fits(int fd, std::string &bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write_without_sigpipe(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.erase(0, static_cast<size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return written < 0 && errno == EAGAIN;
        }
    }
    return true;
}

}  // namespace

std::string open_line_output(const std::string &path, LineOutput &out) {
    for (;;) {
        out.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
        if (out.fd >= 0) return "";
        const int error = errno;
        struct stat info {};
        const bool fifo_without_reader = error == ENXIO && ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
        if (!fifo_without_reader) return std::strerror(error);
        if (stop_signal() != 0) return "";
        ::poll(nullptr, 0, kReaderPollMs);
    }
}

void write_line(LineOutput &out, const std::string &line) {
    if (out.fd < 0) {
        ++out.dropped;
        return;
    }
    if (!out.unfinished.empty()) {
        if (!write_what_fits(out.fd, out.unfinished)) out.unfinished.clear();
        if (!out.unfinished.empty()) {
            ++out.dropped;
            return;
        }
    }
    std::string bytes = line + "\n";
    const size_t size = bytes.size();
    if (!write_what_fits(out.fd, bytes)) {
        ++out.dropped;
        return;
    }
    if (bytes.size() == size) {
        ++out.dropped;  // nothing of it went out
    } else {
        out.unfinished = bytes;
    }
}

void close_line_output(LineOutput &out) {
    if (out.fd < 0) return;
    for (int waited = 0; !out.unfinished.empty() && waited < kCloseDrainMs; waited += 10) {
        if (!write_what_fits(out.fd, out.unfinished)) break;
        if (!out.unfinished.empty()) ::poll(nullptr, 0, 10);
    }
    ::close(out.fd);
    out.fd = -1;
}
