#pragma once
// The face programs' run log: standard output and the file named by LOGFILE.
#include <fstream>
#include <string>

// Run log: each line goes to standard output (flushed) and, when open, to the log file (flushed),
// with its control characters escaped (escape_control_characters), so every line stays one line.
struct Logger {
    std::ofstream file;
    void line(const std::string &text);
};

// Opens the file named by LOGFILE (truncated) when it is set and not empty; an unopenable file is silent.
void open_run_log(Logger &logger);

// Text from files, directory names or paths made safe for one log line: newline, carriage return and
// tab become \n, \r and \t, every other byte below 0x20 and 0x7F becomes \xNN (upper-case hex).
// Backslashes and bytes from 0x80 on (UTF-8) stay as they are.
std::string escape_control_characters(const std::string &text);
