#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
int g_wake[2] = {-1, -1};

void note_stop_request(int signal) {
    if (g_stop_signal != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    const int saved_errno = errno;
    g_stop_signal = signal;
    const char byte = 1;
    if (::write(g_wake[1], &byte, 1) < 0) {
        // Nothing to do: the pipe is only a wake-up.
    }
    errno = saved_errno;
}

}  // namespace

void catch_stop_signals() {
    if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction action {};
    action.sa_handler = note_stop_request;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int stop_signal() { return g_stop_signal; }

int stop_wake_fd() { return g_wake[0]; }

std::string stop_signal_name(int signal) { return signal == SIGTERM ? "SIGTERM" : "SIGINT"; }
