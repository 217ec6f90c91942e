#pragma once
// Checks on numbers as the programs print them.
#include <algorithm>
#include <cctype>
#include <string>

namespace test_text {

// True when `text` holds a number printed with four or more decimals (such as -7.0600000000000005).
inline bool has_long_fraction(const std::string &text) {
    for (size_t dot = text.find('.'); dot != std::string::npos; dot = text.find('.', dot + 1))
        if (dot + 4 < text.size() &&
            std::all_of(text.begin() + static_cast<std::ptrdiff_t>(dot) + 1,
                        text.begin() + static_cast<std::ptrdiff_t>(dot) + 5, [](unsigned char c) { return std::isdigit(c); }))
            return true;
    return false;
}

}  // namespace test_text
