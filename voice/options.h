#pragma once
// Command line, run log and number formatting of vocrin.
#include <fstream>
#include <string>
#include <vector>

struct Options {
    int duration_seconds = 5;
    std::string device = "hw:1,0";
    std::string output_path = "build/vocrin_raw.wav";
    std::string beamformed_path = "build/vocrin_beamformed.wav";
    std::string event_path = "build/vocrin_event.json";
    std::string log_path = "build/vocrin.log";
    std::string input_wav;
    double input_gain_db = 0.0;
    bool skip_capture = false;
    bool live = false;
    int live_duration_seconds = 0;
    int live_chunk_frames = 1024;
    std::string pcm_output = "/tmp/vocrin-beamformed-mic.pcm";
    // --mic-positions: the four microphones' positions in metres along the row, in channel
    // order. Empty: the direction from whole-sample lags within fixed limits.
    std::vector<double> mic_positions;
};

// Run log: every line goes to standard output and, when open, to the log file, with its control
// characters escaped (escape_control_characters), so every line stays one line.
// Lines are not flushed one by one.
struct Logger {
    std::ofstream file;
    void line(const std::string &text);
    // Pushes buffered lines out, e.g. before another program writes to the same console.
    void flush();
};

// Fills `options` from argv[1..]. Prints usage and exits 0 on -h/--help. Refuses, with a message,
// two options that name the same file to be written (or the input and a file to be written).
bool parse_args(int argc, char **argv, Options &options);
void print_usage(const std::string &program_name);

// Text from files, paths or devices made safe for one log line: newline, carriage return and tab
// become \n, \r and \t, every other byte below 0x20 and 0x7F becomes \xNN (upper-case hex).
// Backslashes and bytes from 0x80 on (UTF-8) stay as they are.
std::string escape_control_characters(const std::string &text);

// C "%f"-style fixed notation with the given number of decimals.
std::string format_fixed(double value, int decimals = 6);
