#pragma once
// Command line of lumivar_enroll: its own options beside the detection and quality options it shares with
// lumivar_face, read and range-checked by the same code with the same defaults.
#include <string>

#include "core/options.h"

struct EnrollOptions {
    Options face;  // samples_dir, frames, cascade, detection and quality options; the rest stay at their defaults
    std::string stage = "enrol";
    int count = 20;
    bool from_images = false;  // photo mode: --images given
    std::string images_dir;
    // Change a new sample needs from the last saved one (sample_change, 0 to 255).
    double min_change = 10.0;
};

// Fills `options` from argv[1..]. Prints the usage text and exits 0 on -h/--help. False after a rejected
// argument (message on standard error, none for an out-of-range value) or a failed cross-check.
bool parse_enroll_args(int argc, char **argv, EnrollOptions &options);
void print_enroll_usage(const std::string &program_name);

// A stage is one directory level named with letters, digits, '-', '_' or '.' (not starting with '.'), so its
// samples' paths read back unchanged from the manifest.
bool is_plain_stage_name(const std::string &stage);
