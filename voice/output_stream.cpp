#include "output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pcm_output.h"

std::string line_output_problem(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
        if (S_ISFIFO(info.st_mode)) return "";
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
        return "";
    }
    if (errno != ENOENT) return std::strerror(errno);
    // Made and taken away again: the run creates it once it starts.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return "";
}

bool open_line_output(LineOutput &output, const std::string &path) {
    output.path = path;
    output.fd = open_pcm_output(path);
    return output.fd >= 0;
}

namespace {

// Writes what it can of `text` at once; returns how much went out, -1 once the output is gone.
long write_some(LineOutput &output, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write_without_sigpipe(
            output.fd, reinterpret_cast<const unsigned char *>(text.data()) + done, text.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            break;
        } else {
            output.error = written < 0 ? errno : EIO;
            output.gone = true;
            return -1;
        }
    }
    return static_cast<long>(done);
}

}  // namespace

bool write_line_now(LineOutput &output, const std::string &line) {
    if (output.gone || output.fd < 0) return false;
    if (!output.rest.empty()) {
        const long sent = write_some(output, output.rest);
        if (sent < 0) return false;
        output.rest.erase(0, static_cast<std::size_t>(sent));
        if (!output.rest.empty()) {
            ++output.dropped;
            return true;
        }
    }
    const long sent = write_some(output, line);
    if (sent < 0) return false;
    if (sent == 0) {
        ++output.dropped;
    } else if (static_cast<std::size_t>(sent) < line.size()) {
        output.rest = line.substr(static_cast<std::size_t>(sent));  // a reader never sees half a line
    }
    return true;
}

bool write_text_waiting(LineOutput &output, const std::string &text) {
    if (output.gone || output.fd < 0) return false;
    const std::vector<unsigned char> bytes(text.begin(), text.end());
    if (write_pcm_chunk(output.fd, bytes, output.error) == ChunkDelivery::failed) output.gone = true;
    return !output.gone;
}

void close_line_output(LineOutput &output) {
    if (output.fd >= 0) ::close(output.fd);
    output.fd = -1;
}

std::string line_output_failure(const LineOutput &output, const std::string &name) {
    return (output.error == EPIPE ? name + " output closed by reader: " : "failed to write " + name + " output: ") +
           output.path;
}
