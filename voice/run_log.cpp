#include "run_log.h"

#include <cstdio>
#include <iostream>

void Logger::line(const std::string &text) {
    const std::string safe = escape_control_characters(text);
    std::cout << safe << '\n';
    if (file.is_open()) {
        file << safe << '\n';
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

void Logger::flush() {
    std::cout.flush();
    if (file.is_open()) {
        file.flush();
    }
}

std::string format_fixed(double value, int decimals) {
    char buffer[512];
    const int written = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    if (written < 0) {
        return std::string();
    }
    if (static_cast<size_t>(written) < sizeof buffer) {
        return std::string(buffer, static_cast<size_t>(written));
    }
    std::string big(static_cast<size_t>(written) + 1, '\0');
    std::snprintf(&big[0], big.size(), "%.*f", decimals, value);
    big.resize(static_cast<size_t>(written));
    return big;
}
