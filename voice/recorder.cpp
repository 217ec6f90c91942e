#include "recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kKillAfterTerm = std::chrono::seconds(1);
constexpr auto kExitPoll = std::chrono::milliseconds(5);

// Whether the recorder has ended, without reaping it: its pid stays its own until reaped, so a
// second stop request cannot hit another process that took the number.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            return true;  // not our child (any more): nothing to wait for
        }
    }
    return info.si_pid == pid;
}

bool ended_by(pid_t pid, Clock::time_point deadline) {
    while (!has_ended(pid)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kExitPoll);
    }
    return true;
}

int reap(RecorderProcess &recorder) {
    set_recorder_to_kill(-1);
    int status = -1;
    while (::waitpid(recorder.pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    recorder.pid = -1;
    return status;
}

}  // namespace

bool start_recorder(const std::string &command, bool piped, RecorderProcess &recorder) {
    const std::string exec_command = "exec " + command;
    int ends[2] = {-1, -1};
    if (piped && ::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        if (piped) {
            ::close(ends[0]);
            ::close(ends[1]);
        }
        return false;
    }
    if (pid == 0) {
        release_stop_signals();  // the recorder keeps the dispositions the program was started with
        if (piped) {
            ::dup2(ends[1], STDOUT_FILENO);
        }
        ::execl("/bin/sh", "sh", "-c", exec_command.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    if (piped) {
        ::close(ends[1]);
    }
    recorder.pid = pid;
    recorder.output_fd = ends[0];
    set_recorder_to_kill(pid);
    return true;
}

bool wait_for_recorder(RecorderProcess &recorder, int &status) {
    while (!has_ended(recorder.pid)) {
        if (stop_signal() != 0) {
            return false;
        }
        pollfd wake{stop_wake_fd(), POLLIN, 0};
        ::poll(&wake, 1, 20);
    }
    status = reap(recorder);
    return true;
}

int stop_recorder(RecorderProcess &recorder, std::chrono::milliseconds grace) {
    if (recorder.output_fd >= 0) {
        ::close(recorder.output_fd);
        recorder.output_fd = -1;
    }
    if (recorder.pid <= 0) {
        return -1;
    }
    if (!ended_by(recorder.pid, Clock::now() + grace)) {
        ::kill(recorder.pid, SIGTERM);
        if (!ended_by(recorder.pid, Clock::now() + kKillAfterTerm)) {
            ::kill(recorder.pid, SIGKILL);
        }
    }
    return reap(recorder);
}

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string arecord_capture_prefix(const std::string &device) {
    return "arecord -D " + shell_quote(device) + " -f S32_LE -r " + std::to_string(kCaptureRate) + " -c " +
           std::to_string(kCaptureChannels);
}
