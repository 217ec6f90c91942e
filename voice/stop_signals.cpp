#include "stop_signals.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_recorder = -1;
const char *volatile g_file_to_remove = nullptr;
volatile std::sig_atomic_t g_owner = -1;  // the program's pid: a child between fork and exec ignores requests
int g_wake[2] = {-1, -1};
struct sigaction g_previous[2];
bool g_caught[2] = {false, false};

// Second request: no more waiting. An unfinished file goes; the recorder is killed and, unless it
// is stuck in the kernel, reaped within 100 ms. Only async-signal-safe calls from here on.
void end_at_once(int signal) {
    const char *const file = g_file_to_remove;
    if (file != nullptr) {
        ::unlink(file);
    }
    const pid_t recorder = g_recorder;
    if (recorder > 0) {
        ::kill(recorder, SIGKILL);
        const timespec pause{0, 5 * 1000 * 1000};
        for (int i = 0; i < 20 && ::waitpid(recorder, nullptr, WNOHANG) == 0; ++i) {
            ::nanosleep(&pause, nullptr);
        }
    }
    end_by_signal(signal);
}

void note_stop_request(int signal) {
    if (::getpid() != g_owner) {
        return;
    }
    const int saved_errno = errno;
    if (g_stop_signal != 0) {
        end_at_once(signal);
    }
    g_stop_signal = signal;
    const char byte = 1;
    if (::write(g_wake[1], &byte, 1) < 0) {
        // The pipe already holds a byte: the poll wakes all the same.
    }
    errno = saved_errno;
}

}  // namespace

void catch_stop_signals() {
    if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wake[0] = g_wake[1] = -1;
    }
    g_owner = ::getpid();
    struct sigaction action {};
    action.sa_handler = note_stop_request;
    sigemptyset(&action.sa_mask);
    for (const int signal : kStopSignals) {
        sigaddset(&action.sa_mask, signal);
    }
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i) {
        struct sigaction current {};
        ::sigaction(kStopSignals[i], nullptr, &current);
        if (!g_caught[i]) {
            if (current.sa_handler == SIG_IGN) {
                continue;
            }
            g_previous[i] = current;
        }
        ::sigaction(kStopSignals[i], &action, nullptr);
        g_caught[i] = true;
    }
}

void release_stop_signals() {
    for (int i = 0; i < 2; ++i) {
        if (g_caught[i]) {
            ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
            g_caught[i] = false;
        }
    }
}

int stop_signal() { return g_stop_signal; }

int stop_wake_fd() { return g_wake[0]; }

void set_recorder_to_kill(pid_t pid) { g_recorder = pid; }

void set_file_to_remove(const char *path) { g_file_to_remove = path; }

std::string signal_name(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "signal " + std::to_string(signal);
    }
}

void end_by_signal(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}
