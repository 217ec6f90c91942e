#pragma once
// Command line of vocrin: the options record, its parser and the usage text.
#include <optional>
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
    // --require-fifo: live output only into an existing FIFO (a sound server's pipe), never a file.
    bool require_fifo = false;
    // --mic-positions: the four microphones' positions in metres along the row, in channel
    // order. Empty: the direction from whole-sample lags within fixed limits.
    std::vector<double> mic_positions;
    // --beam-angle: the beam held at this angle in degrees (sign as the reported angle) instead of
    // following the estimate; needs mic_positions.
    std::optional<double> beam_angle_degrees;
    // --denoise: one of kDenoiseLevels, the beam's noise suppression; empty: none.
    std::string denoise;
    // --agc: adaptive digital gain control of the beam.
    bool agc = false;
    // --directions-out: one JSON line per chunk with its direction and whether it holds speech;
    // empty: none.
    std::string directions_out;
};

// The words --denoise takes, mildest first.
constexpr const char *kDenoiseLevels[] = {"low", "moderate", "high", "very-high"};

// Fills `options` from argv[1..]. Prints usage and exits 0 on -h/--help. Refuses, with a message,
// two options that name the same file to be written (or the input and a file to be written).
bool parse_args(int argc, char **argv, Options &options);
void print_usage(const std::string &program_name);
