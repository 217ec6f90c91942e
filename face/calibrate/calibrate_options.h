#pragma once
// Command line of lumivar_calibrate.
#include <string>
#include <vector>

struct CalibrateOptions {
    std::vector<std::string> enrolled_logs;  // runs where only the enrolled person faced the sensor
    std::vector<std::string> others_logs;    // runs with other people only
    int max_false_candidates = 0;
    std::string plot_path;  // empty: no plot; else ends in .png or .svg
};

// Fills `options` from argv[1..]; problems go to standard error. Prints usage and exits 0 on -h/--help.
bool parse_calibrate_args(int argc, char **argv, CalibrateOptions &options);
void print_calibrate_usage(const std::string &program_name);

// Whether a plot path names an SVG file (else a PNG): by its ending, in any case.
bool is_svg_path(const std::string &path);
