#include "input_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "stop_signals.h"

namespace {

constexpr size_t kBlockBytes = 65536;
// How often a followed file is looked at again once it has nothing more.
constexpr int kFollowPollMs = 100;

void take_line(InputStream &stream, std::string text, bool whole, std::vector<InputLine> &lines) {
    lines.push_back(InputLine{std::move(text), whole, ++stream.lines});
}

void split_lines(InputStream &stream, const char *bytes, size_t size, std::vector<InputLine> &lines) {
    for (size_t i = 0; i < size;) {
        const char *newline = static_cast<const char *>(std::memchr(bytes + i, '\n', size - i));
        const size_t end = newline ? static_cast<size_t>(newline - bytes) : size;
        if (!stream.skipping) stream.partial.append(bytes + i, end - i);
        if (!stream.skipping && stream.partial.size() > kLongestLine) {
            take_line(stream, std::move(stream.partial), false, lines);
            stream.partial.clear();
            stream.skipping = true;
        }
        if (newline) {
            if (!stream.skipping) take_line(stream, std::move(stream.partial), true, lines);
            stream.partial.clear();
            stream.skipping = false;
            i = end + 1;
        } else {
            i = size;
        }
    }
}

void end_stream(InputStream &stream, std::vector<InputLine> &lines) {
    if (!stream.partial.empty()) take_line(stream, std::move(stream.partial), false, lines);
    stream.partial.clear();
    stream.ended = true;
}

}  // namespace

std::string open_input(const std::string &path, bool follow, InputStream &stream) {
    stream.path = path;
    stream.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (stream.fd < 0) return std::strerror(errno);
    struct stat info {};
    if (::fstat(stream.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        close_input(stream);
        return std::strerror(error);
    }
    stream.regular = S_ISREG(info.st_mode);
    stream.follow = follow && stream.regular;
    return "";
}

void read_available(InputStream &stream, std::vector<InputLine> &lines) {
    if (stream.ended) return;
    if (!stream.regular) {
        // A FIFO nobody has opened for writing yet reads as ended; poll tells it from one whose writer went away.
        pollfd ready{stream.fd, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0 || (ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    }
    char block[kBlockBytes];
    const ssize_t got = ::read(stream.fd, block, sizeof block);
    if (got > 0) {
        stream.at_end = false;
        split_lines(stream, block, static_cast<size_t>(got), lines);
    } else if (got == 0) {
        if (stream.follow) stream.at_end = true;
        else end_stream(stream, lines);
    } else if (errno != EAGAIN && errno != EINTR) {
        end_stream(stream, lines);
    }
}

void wait_for_input(const std::vector<InputStream *> &streams) {
    std::vector<pollfd> watched{{stop_wake_fd(), POLLIN, 0}};
    int timeout_ms = -1;
    for (const InputStream *stream : streams) {
        if (stream->ended) continue;
        if (!stream->regular) watched.push_back({stream->fd, POLLIN, 0});
        else if (stream->at_end) timeout_ms = kFollowPollMs;
        else timeout_ms = 0;  // more to read now
    }
    if (stop_signal() != 0) return;
    ::poll(watched.data(), watched.size(), timeout_ms);
}

void close_input(InputStream &stream) {
    if (stream.fd >= 0) ::close(stream.fd);
    stream.fd = -1;
}
