#include "calibrate/calibrate_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <iostream>

namespace {

// `ending` is in lower case; the path's ending may be in any case.
bool ends_with_any_case(const std::string &text, const std::string &ending) {
    if (text.size() < ending.size()) return false;
    return std::equal(ending.begin(), ending.end(), text.end() - ending.size(), [](char lower, char c) {
        return lower == std::tolower(static_cast<unsigned char>(c));
    });
}

// The whole word must be the number: "3x" is refused rather than read as 3.
bool read_count(const std::string &text, int &value) {
    const char *end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && at == end && !text.empty() && value >= 0;
}

}  // namespace

bool is_svg_path(const std::string &path) { return ends_with_any_case(path, ".svg"); }

void print_calibrate_usage(const std::string &program_name) {
    std::cout << "Usage: " << program_name
              << " --enrolled LOG [--enrolled LOG ...] --others LOG [--others LOG ...]"
                 " [--max-false-candidates N] [--plot PATH]\n"
                 "  Recommends lumivar_face thresholds from runs made with --calibration-log.\n"
                 "  --enrolled LOG              Run log with only the enrolled person in view.\n"
                 "  --others LOG                Run log with other people only.\n"
                 "  --max-false-candidates N    Others' faces allowed as CandidateVeyra. Default: 0.\n"
                 "  --plot PATH                 Distance histogram of both groups, PNG or SVG by the ending.\n"
              << std::flush;
}

bool parse_calibrate_args(int argc, char **argv, CalibrateOptions &options) {
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_calibrate";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_calibrate_usage(program_name);
            std::exit(0);
        }
        if (arg != "--enrolled" && arg != "--others" && arg != "--max-false-candidates" && arg != "--plot") {
            std::cerr << "Unknown argument: " << arg << "\n";
            return false;
        }
        if (i + 1 >= argc) {
            std::cerr << arg << " requires a value\n";
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--enrolled") {
            options.enrolled_logs.push_back(value);
        } else if (arg == "--others") {
            options.others_logs.push_back(value);
        } else if (arg == "--max-false-candidates") {
            if (!read_count(value, options.max_false_candidates)) {
                std::cerr << "--max-false-candidates needs a whole number of 0 or more: " << value << "\n";
                return false;
            }
        } else {
            if (!ends_with_any_case(value, ".png") && !is_svg_path(value)) {
                std::cerr << "--plot needs a path ending in .png or .svg: " << value << "\n";
                return false;
            }
            options.plot_path = value;
        }
    }
    if (options.enrolled_logs.empty() || options.others_logs.empty()) {
        std::cerr << "at least one --enrolled LOG and one --others LOG are needed\n";
        return false;
    }
    return true;
}
