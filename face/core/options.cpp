#include "core/options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace {

// Whole numbers read like std::stoi: leading number taken, rest ignored.
// No leading number, or a value that does not fit an int, is unusable.
bool read_whole(const std::string &text, int &value) {
    try {
        value = std::stoi(text);
        return true;
    } catch (const std::logic_error &) {
        return false;
    }
}

// Real numbers read like std::stod. NaN and infinities are not usable limits.
bool read_real(const std::string &text, double &value) {
    try {
        value = std::stod(text);
    } catch (const std::logic_error &) {
        return false;
    }
    return std::isfinite(value);
}

// Accepted ranges of the numeric options.
bool positive(double v) { return v > 0; }
bool non_negative(double v) { return v >= 0; }
bool any_number(double) { return true; }
bool scale_fraction(double v) { return v > 0 && v <= 1.0; }

// One detection on a 1920 x 1080 frame at the default scale (bench/face/bench_scale_factor.sh): a step
// of 1.01 takes ten times the time of the default 1.1 and three times its memory (350 MB), and every
// step nearer 1 costs more (1.002: 1.4 GB, 1.001: over 2.6 GB and minutes, 1.0001: over 4 GB). Large
// steps finish at once up to 8e7; from 9e7 on the detector's window size overflows and its list of
// scales grows until memory runs out.
constexpr double kSmallestScaleFactor = 1.01;
constexpr double kLargestScaleFactor = 100.0;

}  // namespace

std::string cross_check_failure(const Options &o) {
    if (o.confirm_min_hits > o.confirm_window) return "--confirm-min-hits must be <= --confirm-window";
    if (o.confirmed_threshold > o.candidate_threshold)
        return "--confirmed-threshold must be <= --candidate-threshold because LBPH confidence is lower-is-better";
    if (o.quality_min_brightness > o.quality_max_brightness)
        return "--quality-min-brightness must be <= --quality-max-brightness";
    return "";
}

bool cross_checks_pass(const Options &o) {
    const std::string failure = cross_check_failure(o);
    if (!failure.empty()) std::cerr << failure << "\n";
    return failure.empty();
}

bool positive_value(double value) { return positive(value); }
bool non_negative_value(double value) { return non_negative(value); }

bool scale_factor_in_range(double factor) {
    return factor >= kSmallestScaleFactor && factor <= kLargestScaleFactor;
}

std::string format_real(double value) {
    char buffer[400];  // the widest "%f" of a double: sign, 309 digits, point, six decimals
    std::snprintf(buffer, sizeof buffer, "%f", value);
    return buffer;
}

void print_usage(const std::string &program_name) {
    std::cout << "Usage: " << program_name
              << " [--frames N] [--threshold D] [--candidate-threshold D] [--confirmed-threshold D]"
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
                 "  --calibration-log         Log per-face confidence, quality, and confirmation data.\n"
              << std::flush;
}

OptionSlot face_option_slot(const std::string &arg, Options &options) {
    OptionSlot s;
    s.accepts = any_number;
    if (arg == "--frames") { s.whole = &options.frames; s.accepts = positive; }
    else if (arg == "--samples-dir") { s.text = &options.samples_dir; }
    else if (arg == "--model") { s.text = &options.model_path; }
    else if (arg == "--labels") { s.text = &options.labels_path; }
    else if (arg == "--cascade") { s.text = &options.cascade_path; }
    else if (arg == "--candidate-threshold" || arg == "--threshold") {
        s.real = &options.candidate_threshold; s.accepts = positive;
    }
    else if (arg == "--confirmed-threshold") { s.real = &options.confirmed_threshold; s.accepts = positive; }
    else if (arg == "--confirm-window") { s.whole = &options.confirm_window; s.accepts = positive; }
    else if (arg == "--confirm-min-hits") { s.whole = &options.confirm_min_hits; s.accepts = positive; }
    else if (arg == "--scale") { s.real = &options.scale; s.accepts = scale_fraction; }
    else if (arg == "--scale-factor") { s.real = &options.scale_factor; s.accepts = scale_factor_in_range; }
    else if (arg == "--min-neighbors") { s.whole = &options.min_neighbors; s.accepts = non_negative; }
    else if (arg == "--min-face-size") { s.whole = &options.min_face_size; s.accepts = positive; }
    else if (arg == "--quality-min-face-size") { s.whole = &options.quality_min_face_size; s.accepts = positive; }
    else if (arg == "--quality-min-sharpness") { s.real = &options.quality_min_sharpness; s.accepts = non_negative; }
    else if (arg == "--quality-min-brightness") { s.real = &options.quality_min_brightness; }
    else if (arg == "--quality-max-brightness") { s.real = &options.quality_max_brightness; }
    else if (arg == "--quality-min-contrast") { s.real = &options.quality_min_contrast; s.accepts = non_negative; }
    else if (arg == "--log-every") { s.whole = &options.log_every; s.accepts = positive; }
    else if (arg == "--liveness-min-relief") { s.real = &options.liveness_min_relief; s.accepts = non_negative; }
    else if (arg == "--faces-out") { s.text = &options.faces_out; }
    return s;
}

bool note_liveness_option(const std::string &arg, Options &options) {
    if (arg != "--liveness" && arg != "--liveness-min-relief") return false;
    options.liveness = true;
    return true;
}

bool store_option_value(const OptionSlot &slot, const std::string &value) {
    if (slot.text) {
        *slot.text = value;
        return true;
    }
    const auto accepts = slot.accepts ? slot.accepts : any_number;
    if (slot.whole) {
        int parsed = 0;
        if (!read_whole(value, parsed) || !accepts(parsed)) return false;
        *slot.whole = parsed;
        return true;
    }
    double parsed = 0;
    if (!slot.real || !read_real(value, parsed) || !accepts(parsed)) return false;
    *slot.real = parsed;
    return true;
}

CommandReading read_face_command(const std::vector<std::string> &words, Options &options, std::string &why) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &arg = words[i];
        if (arg == "--help" || arg == "-h") return CommandReading::help;
        if (arg == "--calibration-log") {
            options.calibration_log = true;
            continue;
        }
        if (arg == "--track") {
            options.track = true;
            continue;
        }
        if (note_liveness_option(arg, options) && arg == "--liveness") continue;

        const OptionSlot slot = face_option_slot(arg, options);
        if (!slot.known()) {
            why = "Unknown argument: " + arg;
            return CommandReading::refused;
        }
        if (i + 1 >= words.size()) {
            why = arg + " requires a value";
            return CommandReading::refused;
        }
        if (!store_option_value(slot, words[++i])) {
            why = arg + " does not take " + words[i];
            return CommandReading::value_refused;
        }
    }
    why = cross_check_failure(options);
    return why.empty() ? CommandReading::accepted : CommandReading::refused;
}

std::string face_command_refusal(const std::vector<std::string> &words) {
    Options options;
    std::string why;
    const CommandReading reading = read_face_command(words, options, why);
    if (reading == CommandReading::help) return "--help prints the usage and stops";
    return reading == CommandReading::accepted ? "" : why;
}

bool parse_args(int argc, char **argv, Options &options) {
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_face";
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 0));
    std::string why;
    switch (read_face_command(words, options, why)) {
    case CommandReading::help:
        print_usage(program_name);
        std::exit(0);
    case CommandReading::refused:
        std::cerr << why << "\n";
        return false;
    case CommandReading::value_refused:  // the usage that follows gives the ranges
        return false;
    case CommandReading::accepted:
        break;
    }
    return true;
}
