#include "core/run_log.h"

#include <cstdlib>
#include <iostream>

void open_run_log(Logger &logger) {
    const char *path = std::getenv("LOGFILE");
    if (path && *path) logger.file.open(path, std::ios::out | std::ios::trunc);
}

void Logger::line(const std::string &text) {
    const std::string safe = escape_control_characters(text);
    std::cout << safe << '\n' << std::flush;
    if (file.is_open()) {
        file << safe << '\n' << std::flush;
    }
}

std::string escape_control_characters(const std::string &text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            safe += c;
        } else if (c == '\n') {
            safe += "\\n";
        } else if (c == '\r') {
            safe += "\\r";
        } else if (c == '\t') {
            safe += "\\t";
        } else {
            safe += "\\x";
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0xF];
        }
    }
    return safe;
}
