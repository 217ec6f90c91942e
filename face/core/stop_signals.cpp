#include "core/stop_signals.h"

#include <signal.h>

#include <atomic>

#include "core/atomic_file.h"

namespace {

// Atomic, not just sig_atomic_t: OpenCV's worker threads can take the two signals at the same moment, and only
// one of them may be the first.
std::atomic<int> requested_by{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

// Ends the program by the signal's default action once the temporary file is gone.
void end_at_once(int signal_number) {
    remove_pending_temporary();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);  // delivered when the handler returns
}

void note_stop(int signal_number) {
    int none = 0;
    if (!requested_by.compare_exchange_strong(none, signal_number)) end_at_once(signal_number);
}

void install(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM}) sigaddset(&action.sa_mask, signal_number);
    action.sa_flags = SA_RESTART;  // a stop is noticed between frames, not by failing a system call
    for (int signal_number : {SIGINT, SIGTERM}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void install_stop_signals() { install(note_stop); }

int stop_signal() { return requested_by; }

std::string stop_signal_line(int signal_number) {
    return std::string("stop requested by signal ") + (signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
}

void log_stop_signal(Logger &logger) {
    if (const int signal_number = stop_signal()) logger.line(stop_signal_line(signal_number));
}

void install_cleanup_on_signals() { install(end_at_once); }
