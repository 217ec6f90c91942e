#pragma once
// Command line and number formatting of lumivar_face; its option readers and range checks are shared by the
// other face programs.
#include <string>
#include <vector>

struct Options {
    int frames = 300;
    std::string samples_dir = "faces/veyra";
    std::string model_path = "models/face_recognizer.yml";
    std::string labels_path = "models/labels.txt";
    std::string cascade_path = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";
    double candidate_threshold = 60.0;
    double confirmed_threshold = 55.0;
    int confirm_window = 10;
    int confirm_min_hits = 5;
    double scale = 0.5;
    double scale_factor = 1.1;
    int min_neighbors = 4;
    int min_face_size = 30;
    int quality_min_face_size = 80;
    double quality_min_sharpness = 60.0;
    double quality_min_brightness = 35.0;
    double quality_max_brightness = 220.0;
    double quality_min_contrast = 20.0;
    bool calibration_log = false;
    int log_every = 30;
    // Depth liveness: off unless asked for. Relief in millimetres a face needs (core/liveness.h); the limit comes
    // from bench/face/measure_liveness.cpp.
    bool liveness = false;
    double liveness_min_relief = 12.0;
    // Faces followed between full-frame scans (core/face_tracking.h) instead of a full detection per frame.
    bool track = false;
    // One JSON line per processed frame for other programs (recognise/face_lines.h); empty: none.
    std::string faces_out;
};

// Fills `options` from argv[1..]. Prints usage and exits 0 on -h/--help.
bool parse_args(int argc, char **argv, Options &options);
void print_usage(const std::string &program_name);

// --scale-factor values the cascade detector finishes in bounded time and memory (measured by
// bench/face/bench_scale_factor.sh): steps nearer 1 multiply both, far larger ones overflow its window.
bool scale_factor_in_range(double factor);

// The field a value-taking option fills, and the range its value must lie in.
struct OptionSlot {
    int *whole = nullptr;
    double *real = nullptr;
    std::string *text = nullptr;
    bool (*accepts)(double) = nullptr;
    bool known() const { return whole || real || text; }
};

// The slot of one of lumivar_face's value-taking options; an unknown slot when `arg` names none.
OptionSlot face_option_slot(const std::string &arg, Options &options);

// Reads `value` into the slot's field (whole numbers like stoi, reals like stod, texts as given).
// False, with the field unchanged, when the value has no usable number or lies outside the range.
bool store_option_value(const OptionSlot &slot, const std::string &value);

// Range checks for options of the other face programs: greater than 0; 0 or more.
bool positive_value(double value);
bool non_negative_value(double value);

// "--liveness" and "--liveness-min-relief" (which implies it): true when `arg` was one of them. The value of the
// second is read by the caller through face_option_slot.
bool note_liveness_option(const std::string &arg, Options &options);

// The cross-checks between options, in order: the first failure's message, or empty when all pass.
std::string cross_check_failure(const Options &options);
// The same, writing the first failure's message to standard error.
bool cross_checks_pass(const Options &options);

// lumivar_face's reading of its command line (the words after the program name), left to right: each option
// into its field with its range check, then the cross-checks. parse_args writes `why` to standard error for a
// refusal; for a value out of range it prints only the usage, which gives the ranges.
enum class CommandReading { accepted, help, refused, value_refused };
CommandReading read_face_command(const std::vector<std::string> &words, Options &options, std::string &why);

// Why lumivar_face would refuse to start with these words, by the same reading; empty when it accepts them.
// For the command lines other programs recommend.
std::string face_command_refusal(const std::vector<std::string> &words);

// C "%f": fixed notation, six decimals.
std::string format_real(double value);
