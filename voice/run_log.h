#pragma once
// The run log and the text it is made of: escaped lines and fixed-point numbers.
#include <fstream>
#include <string>

// Run log: every line goes to standard output and, when open, to the log file, with its control
// characters escaped (escape_control_characters), so every line stays one line.
// Lines are not flushed one by one.
struct Logger {
    std::ofstream file;
    void line(const std::string &text);
    // Pushes buffered lines out, e.g. before another program writes to the same console.
    void flush();
};

// Text from files, paths or devices made safe for one log line: newline, carriage return and tab
// become \n, \r and \t, every other byte below 0x20 and 0x7F becomes \xNN (upper-case hex).
// Backslashes and bytes from 0x80 on (UTF-8) stay as they are.
std::string escape_control_characters(const std::string &text);

// C "%f"-style fixed notation with the given number of decimals.
std::string format_fixed(double value, int decimals = 6);
