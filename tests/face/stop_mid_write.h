#pragma once
// Catching a running program in the middle of writing a file: it is stopped (SIGSTOP) as soon as a hidden
// temporary file of the expected name appears in a directory and is still there, so that a test can signal it at
// exactly that moment.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace face_test {

// The state letter of /proc/PID/stat ('T' stopped, 'Z' ended), or 0 when there is no such process.
inline char process_state(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

struct CreationWatch {
    std::filesystem::path dir;
    int fd = -1;
    explicit CreationWatch(const std::filesystem::path &watched) : dir(watched) {
        fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd >= 0 && ::inotify_add_watch(fd, dir.c_str(), IN_CREATE) < 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~CreationWatch() {
        if (fd >= 0) ::close(fd);
    }
    CreationWatch(const CreationWatch &) = delete;
    CreationWatch &operator=(const CreationWatch &) = delete;

    // Stops `pid` once a file whose name starts with `prefix` is created in the directory and still exists after
    // the stop; the name of that file. Empty when the program ended or `seconds` passed first (it runs on then).
    std::string stop_writer(pid_t pid, const std::string &prefix, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        alignas(inotify_event) char buffer[4096];
        while (fd >= 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd waiting{fd, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) {
                const char state = process_state(pid);
                if (state == 0 || state == 'Z') return "";
                continue;
            }
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string name = event->len > 0 ? event->name : "";
                if (name.rfind(prefix, 0) != 0) continue;
                ::kill(pid, SIGSTOP);
                while (process_state(pid) != 'T' && process_state(pid) != 'Z' && process_state(pid) != 0) {
                }
                std::error_code ec;
                if (process_state(pid) == 'T' && std::filesystem::exists(dir / name, ec)) return name;
                ::kill(pid, SIGCONT);  // too late for this one: its name is taken already
            }
        }
        return "";
    }
};

}  // namespace face_test
