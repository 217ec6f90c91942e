#include "core/stop_signals.h"

#include <signal.h>

#include "core/atomic_file.h"

namespace {

volatile sig_atomic_t requested_by = 0;

// Ends the program by the signal's default action once the temporary file is gone.
void end_at_once(int signal_number) {
    remove_pending_temporary();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);  // delivered when the handler returns
}

void note_stop(int signal_number) {
    if (requested_by != 0) {
        end_at_once(signal_number);
        return;
    }
    requested_by = signal_number;
}

void install(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
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
