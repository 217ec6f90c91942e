#include "speaker_options.h"

#include <cmath>
#include <iostream>
#include <stdexcept>

namespace {

// The largest offset accepted, in metres: the array and the camera sit on one bar.
constexpr double kLargestOffsetM = 1.0;

bool read_sign(const std::string &text, int &sign) {
    if (text == "1" || text == "+1") sign = 1;
    else if (text == "-1") sign = -1;
    else return false;
    return true;
}

// The whole word must be a number: an offset is a measurement, not a prefix.
bool read_offset(const std::string &text, double &offset) {
    try {
        size_t used = 0;
        offset = std::stod(text, &used);
        return used == text.size() && std::isfinite(offset) && std::fabs(offset) <= kLargestOffsetM;
    } catch (const std::logic_error &) {
        return false;
    }
}

}  // namespace

SpeakerReading read_speaker_command(const std::vector<std::string> &words, SpeakerOptions &options,
                                    std::string &why) {
    bool geometry_given = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &arg = words[i];
        if (arg == "-h" || arg == "--help") return SpeakerReading::help;
        if (arg == "--follow") { options.follow = true; continue; }
        if (arg == "--calibrate") { options.calibrate = true; continue; }
        const bool takes_value = arg == "--faces" || arg == "--voice" || arg == "--out" || arg == "--sign" ||
                                 arg == "--offset";
        if (!takes_value) {
            why = "Unknown argument: " + arg;
            return SpeakerReading::refused;
        }
        if (i + 1 >= words.size()) {
            why = arg + " requires a value";
            return SpeakerReading::refused;
        }
        const std::string &value = words[++i];
        if (arg == "--faces") options.faces = value;
        else if (arg == "--voice") options.voice = value;
        else if (arg == "--out") options.out = value;
        else if (arg == "--sign") {
            geometry_given = true;
            if (!read_sign(value, options.sign)) {
                why = "--sign must be 1 or -1, not " + value;
                return SpeakerReading::refused;
            }
        } else {
            geometry_given = true;
            if (!read_offset(value, options.offset_m)) {
                why = "--offset must be metres from -1 to 1, not " + value;
                return SpeakerReading::refused;
            }
        }
    }
    if (options.faces.empty() || options.voice.empty()) {
        why = "--faces and --voice are both required";
        return SpeakerReading::refused;
    }
    if (options.calibrate && (geometry_given || !options.out.empty())) {
        why = "--calibrate finds --sign and --offset and writes no --out: give none of them";
        return SpeakerReading::refused;
    }
    return SpeakerReading::accepted;
}

void print_speaker_usage(const std::string &program_name) {
    std::cout << "Usage: " << program_name
              << " --faces PATH --voice PATH [--out PATH] [--follow] [--sign S] [--offset M] [--calibrate]\n"
                 "  Says who is speaking: each voice chunk's direction matched to the faces in view.\n"
                 "  --faces PATH   lumivar_face --faces-out lines (file or FIFO).\n"
                 "  --voice PATH   vocrin --directions-out lines (file or FIFO).\n"
                 "  --out PATH     One JSON line per voice chunk (file or FIFO). Default: none.\n"
                 "  --follow       Wait at the end of regular files for more lines, as for FIFOs.\n"
                 "  --sign S       1 or -1: whether a positive voice angle is toward the image's right. Default: 1.\n"
                 "  --offset M     The array's centre from the colour camera, metres to the image's right. Default: 0.\n"
                 "  --calibrate    Fit --sign and --offset from one person talking from three or more places.\n"
              << std::flush;
}
