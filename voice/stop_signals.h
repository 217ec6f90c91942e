#pragma once
// SIGINT and SIGTERM as requests to stop a run in order. The first one is noted (stop_signal) and
// wakes a poll on stop_wake_fd; a second one while stopping ends the program at once, after
// killing the recorder (set_recorder_to_kill). A signal ignored when the program started (a
// background job's SIGINT) stays ignored.
#include <sys/types.h>

#include <string>

// Installs the handlers (again). With `interrupt_calls` a blocking call, such as opening a FIFO
// that has no reader yet, fails with EINTR on a request; without, calls resume and only the poll
// on stop_wake_fd wakes.
void catch_stop_signals(bool interrupt_calls);

// The dispositions from before catch_stop_signals; a request already noted stays noted.
void release_stop_signals();

// The signal that asked to stop, or 0.
int stop_signal();

// Readable from the first request on; -1 before catch_stop_signals.
int stop_wake_fd();

// The recorder that a second request kills before the program ends; -1 for none.
void set_recorder_to_kill(pid_t pid);

// "SIGINT", "SIGTERM", otherwise "signal N".
std::string signal_name(int signal);

// Ends the program by `signal`'s default action, so its parent sees it ended by that signal.
[[noreturn]] void end_by_signal(int signal);
