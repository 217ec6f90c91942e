#pragma once
// SIGINT and SIGTERM as requests to stop a run in order. The first one is noted (stop_signal) and
// wakes a poll on stop_wake_fd; a second one while stopping ends the program at once, after
// removing an unfinished file and killing the recorder. A signal ignored when the program started
// (a background job's SIGINT) stays ignored.
#include <sys/types.h>

#include <string>

// Installs the handlers (again). Interrupted calls resume: a wait that a request must end polls
// stop_wake_fd.
void catch_stop_signals();

// The dispositions from before catch_stop_signals; a request already noted stays noted.
void release_stop_signals();

// The signal that asked to stop, or 0.
int stop_signal();

// Readable from the first request on; -1 before catch_stop_signals.
int stop_wake_fd();

// The recorder that a second request kills before the program ends; -1 for none.
void set_recorder_to_kill(pid_t pid);

// The unfinished file that a second request removes before the program ends; nullptr for none.
// The text must stay valid until it is taken back.
void set_file_to_remove(const char *path);

// "SIGINT", "SIGTERM", otherwise "signal N".
std::string signal_name(int signal);

// Ends the program by `signal`'s default action, so its parent sees it ended by that signal.
[[noreturn]] void end_by_signal(int signal);
