#pragma once
// Reading what lumivar_face prints: lines, lines with a prefix, fields of a status line, the usage text.
#include <sstream>
#include <string>
#include <vector>

#include "temp_files.h"

namespace face_test {

using namespace lumivar_test;

inline std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &line : split_lines(text))
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

// The value after "key=" (summary, calibration) or "key: " (status) up to the next ", ".
inline std::string field(const std::string &line, const std::string &key) {
    for (const std::string &sep : {std::string("="), std::string(": ")}) {
        const std::string marker = key + sep;
        size_t at = line.find(", " + marker);
        if (at != std::string::npos) {
            at += 2;
        } else if (line.rfind(marker, 0) == 0 || line.rfind("summary: " + marker, 0) == 0) {
            at = line.find(marker);
        } else {
            continue;
        }
        const size_t start = at + marker.size();
        const size_t end = line.find(", ", start);
        return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return "<missing " + key + ">";
}

// The usage text, byte for byte, for a given program name.
inline std::string usage_text(const std::string &program) {
    return "Usage: " + program +
           " [--frames N] [--threshold D] [--candidate-threshold D] [--confirmed-threshold D]"
           " [--confirm-window N] [--confirm-min-hits N] [--quality-min-face-size PX]"
           " [--quality-min-sharpness D] [--quality-min-brightness D] [--quality-max-brightness D]"
           " [--quality-min-contrast D] [--calibration-log]"
           " [--samples-dir DIR] [--model PATH] [--labels PATH]"
           " [--cascade PATH] [--scale S] [--scale-factor F] [--min-neighbors N] [--min-face-size PX]"
           " [--log-every N]\n"
           "  LBPH confidence is lower-is-better. v0.7.0 defaults favor Unknown over false Veyra.\n"
           "  --threshold D             Compatibility alias for --candidate-threshold.\n"
           "  --candidate-threshold D   CandidateVeyra threshold. Default: 60.\n"
           "  --confirmed-threshold D   Strict per-frame confirmation threshold. Default: 55.\n"
           "  --confirm-window N        Rolling face-frame confirmation window. Default: 10.\n"
           "  --confirm-min-hits N      Strict hits required inside window for ConfirmedVeyra. Default: 5.\n"
           "  --calibration-log         Log per-face confidence, quality, and confirmation data.\n";
}

}  // namespace face_test
