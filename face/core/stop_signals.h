#pragma once
// Ctrl-C (SIGINT) and SIGTERM as stop requests: the first is noted and the program ends its run as after its
// frame limit; a second one while it stops ends the program at once, leaving no temporary file behind.
#include <string>

#include "core/run_log.h"

// Installs the handlers for SIGINT and SIGTERM.
void install_stop_signals();

// The signal that asked the program to stop, or 0.
int stop_signal();

// "stop requested by signal SIGINT" (or SIGTERM).
std::string stop_signal_line(int signal_number);

// Logs the stop line when a signal asked; for the end of a loop.
void log_stop_signal(Logger &logger);

// For programs without a loop to end: SIGINT and SIGTERM end them at once, removing the temporary file being
// written, so that no file is left half-written.
void install_cleanup_on_signals();
