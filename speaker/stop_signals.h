#pragma once
// SIGINT and SIGTERM as requests to end in order: the first is noted and wakes a poll on stop_wake_fd; a second one
// while ending ends the program at once.
#include <string>

void catch_stop_signals();

// The signal that asked to stop, or 0.
int stop_signal();

// Readable from the first request on.
int stop_wake_fd();

// "SIGINT" or "SIGTERM".
std::string stop_signal_name(int signal);
