#include "options.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "output_stream.h"

namespace {

// Base-10 integer read the way std::stoi reads it (leading blanks, a sign, digits, rest ignored),
// but a value with no leading number or beyond 32 bits is a rejection, not an exception.
bool parse_int(const std::string &text, int &value) {
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// strtod semantics; "inf" and "nan" convert here and are rejected by the range check.
bool parse_double(const std::string &text, double &value) {
    const char *begin = text.c_str();
    char *end = nullptr;
    const double parsed = std::strtod(begin, &end);
    if (end == begin) {
        return false;
    }
    value = parsed;
    return true;
}

// A number that is the whole word but for blanks on either side ("30", " 30", "30 "), read as strtod reads it.
bool parse_whole_number(const std::string &text, double &value) {
    char *end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    while (end != text.c_str() && std::isspace(static_cast<unsigned char>(*end))) {
        ++end;  // strtod skips the blanks before a number; these are the ones after it
    }
    if (end == text.c_str() || end != text.c_str() + text.size()) {
        return false;
    }
    value = parsed;
    return true;
}

// Four finite numbers separated by commas, blanks around them allowed; strictly increasing or
// decreasing, from 1 cm to 5 m from the first to the last: the angle's divisor is a real span, and
// no huge or overflowing span (1e308 apart) passes for an array.
bool parse_mic_positions(const std::string &text, std::vector<double> &positions) {
    std::vector<double> parsed;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string field = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        double value = 0.0;
        if (!parse_whole_number(field, value) || !std::isfinite(value)) {
            return false;
        }
        parsed.push_back(value);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (parsed.size() != 4) {
        return false;
    }
    const bool increasing = parsed[0] < parsed[1] && parsed[1] < parsed[2] && parsed[2] < parsed[3];
    const bool decreasing = parsed[0] > parsed[1] && parsed[1] > parsed[2] && parsed[2] > parsed[3];
    const double span = std::fabs(parsed[3] - parsed[0]);
    if ((!increasing && !decreasing) || !(span >= 0.01 && span <= 5.0)) {
        return false;
    }
    positions = parsed;
    return true;
}

// Degrees from -90 to 90, the whole word a number but for blanks around it.
bool parse_beam_angle(const std::string &text, std::optional<double> &angle) {
    double value = 0.0;
    if (!parse_whole_number(text, value) || !(value >= -90.0 && value <= 90.0)) {
        return false;
    }
    angle = value;
    return true;
}

bool parse_denoise(const std::string &text, std::string &level) {
    for (const char *name : kDenoiseLevels) {
        if (text == name) {
            level = text;
            return true;
        }
    }
    return false;
}

bool is_value_option(const std::string &word) {
    static const char *const names[] = {"--duration",      "--device",        "--output",
                                        "--beamformed",    "--event",         "--log",
                                        "--input-gain-db", "--pcm-output",    "--live-duration",
                                        "--live-chunk-frames", "--input-wav",     "--mic-positions",
                                        "--beam-angle",    "--denoise",       "--directions-out"};
    for (const char *name : names) {
        if (word == name) {
            return true;
        }
    }
    return false;
}

bool set_value_option(const std::string &name, const std::string &value, Options &options) {
    if (name == "--duration") {
        return parse_int(value, options.duration_seconds) && options.duration_seconds > 0;
    }
    if (name == "--live-duration") {
        return parse_int(value, options.live_duration_seconds) && options.live_duration_seconds >= 0;
    }
    if (name == "--live-chunk-frames") {
        return parse_int(value, options.live_chunk_frames) && options.live_chunk_frames >= 128 &&
               options.live_chunk_frames <= 16000;
    }
    if (name == "--input-gain-db") {
        const bool ok = parse_double(value, options.input_gain_db) && std::isfinite(options.input_gain_db) &&
                        options.input_gain_db >= -60.0 && options.input_gain_db <= 36.0;
        if (!ok) {
            std::cerr << "--input-gain-db must be finite and between -60 and +36 dB\n";
        }
        return ok;
    }
    if (name == "--mic-positions") {
        if (!parse_mic_positions(value, options.mic_positions)) {
            std::cerr << "--mic-positions must be four finite positions in metres, strictly increasing or "
                         "decreasing, 0.01 to 5 m from first to last\n";
            return false;
        }
        return true;
    }
    if (name == "--beam-angle") {
        if (!parse_beam_angle(value, options.beam_angle_degrees)) {
            std::cerr << "--beam-angle must be a number of degrees from -90 to 90\n";
            return false;
        }
        return true;
    }
    if (name == "--denoise") {
        if (!parse_denoise(value, options.denoise)) {
            std::cerr << "--denoise must be one of";
            for (const char *name : kDenoiseLevels) std::cerr << ' ' << name;
            std::cerr << "\n";
            return false;
        }
        return true;
    }
    if (name == "--device") {
        options.device = value;
    } else if (name == "--output") {
        options.output_path = value;
    } else if (name == "--beamformed") {
        options.beamformed_path = value;
    } else if (name == "--event") {
        options.event_path = value;
    } else if (name == "--log") {
        options.log_path = value;
    } else if (name == "--pcm-output") {
        options.pcm_output = value;
    } else if (name == "--directions-out") {
        options.directions_out = value;
    } else if (name == "--input-wav") {
        options.input_wav = value;
        options.skip_capture = true;
    }
    return true;
}

// The absolute path with every link in it resolved, one at its end that points to nothing yet
// included (whoever writes through it creates the file it points to), and "." and ".." taken out.
std::filesystem::path resolved_path(const std::string &path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path current = fs::absolute(path, error);
    if (error) {
        return fs::path(path).lexically_normal();
    }
    constexpr int kMaxLinks = 40;  // as the kernel's own limit: a loop of links ends here
    for (int links = 0; links < kMaxLinks; ++links) {
        const fs::path directory = fs::weakly_canonical(current.parent_path(), error);
        if (error) {
            break;
        }
        current = directory / current.filename();
        if (!fs::is_symlink(fs::symlink_status(current, error))) {
            break;
        }
        const fs::path target = fs::read_symlink(current, error);
        if (error) {
            break;
        }
        current = target.is_absolute() ? target : directory / target;
    }
    return current.lexically_normal();
}

// Whether two paths name one file: the same device and inode when both exist, else the same
// resolved path. An empty path names no file. A character device (a terminal, /dev/null) takes
// any number of writers without one clobbering another.
bool same_file(const std::string &a, const std::string &b) {
    if (a.empty() || b.empty()) {
        return false;
    }
    struct stat info_a {};
    struct stat info_b {};
    const bool a_exists = ::stat(a.c_str(), &info_a) == 0;
    const bool b_exists = ::stat(b.c_str(), &info_b) == 0;
    if (a_exists && b_exists) {
        return info_a.st_dev == info_b.st_dev && info_a.st_ino == info_b.st_ino && !S_ISCHR(info_a.st_mode);
    }
    return !a_exists && !b_exists && resolved_path(a) == resolved_path(b);
}

struct NamedFile {
    const char *option;
    std::string path;
};

// The files a run writes, and in batch mode the WAV it reads, each with the option naming it.
std::vector<NamedFile> files_of_run(const Options &options) {
    std::vector<NamedFile> files;
    if (options.live) {
        files = {{"--pcm-output", options.pcm_output}, {"--log", options.log_path}};
    } else {
        const bool given_input = !options.input_wav.empty();
        files = {{given_input ? "--input-wav" : "--output", given_input ? options.input_wav : options.output_path},
                 {"--beamformed", options.beamformed_path},
                 {"--event", options.event_path},
                 {"--log", options.log_path}};
    }
    files.push_back({"--directions-out", options.directions_out});
    return files;
}

// Two of them on one file would overwrite the recording, the beam, the manifest or the log.
bool files_are_apart(const Options &options) {
    const std::vector<NamedFile> files = files_of_run(options);
    for (size_t i = 0; i < files.size(); ++i) {
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (same_file(files[i].path, files[j].path)) {
                std::cerr << files[j].option << " must not name the same file as " << files[i].option << "\n";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool parse_args(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            print_usage(argv[0] != nullptr ? argv[0] : "vocrin");
            std::cout.flush();
            std::exit(0);
        }
        if (word == "--live") {
            options.live = true;
        } else if (word == "--skip-capture") {
            options.skip_capture = true;
        } else if (word == "--agc") {
            options.agc = true;
        } else if (word == "--require-fifo") {
            options.require_fifo = true;
        } else if (is_value_option(word)) {
            if (i + 1 >= argc) {
                std::cerr << word << " requires a value\n";
                return false;
            }
            if (!set_value_option(word, argv[++i], options)) {
                return false;
            }
        } else {
            std::cerr << "Unknown argument: " << word << "\n";
            return false;
        }
    }
    // The angle becomes delays through the microphones' positions.
    if (options.beam_angle_degrees && options.mic_positions.empty()) {
        std::cerr << "--beam-angle needs --mic-positions\n";
        return false;
    }
    if (!files_are_apart(options)) return false;
    // Refused before anything is recorded, as a path that cannot take the lines.
    const std::string problem = options.directions_out.empty() ? "" : line_output_problem(options.directions_out);
    if (!problem.empty()) {
        std::cerr << "--directions-out cannot be written: " << options.directions_out << ": " << problem << "\n";
        return false;
    }
    return true;
}

void print_usage(const std::string &program_name) {
    std::cout << "Usage: " << program_name << " [options]\n"
              << "  --duration N       Capture duration in seconds. Default: 5.\n"
              << "  --device NAME      ALSA capture device. Default: hw:1,0.\n"
              << "  --output PATH      Raw 4-channel WAV output. Default: build/vocrin_raw.wav.\n"
              << "  --beamformed PATH  Beamformed mono WAV output. Default: build/vocrin_beamformed.wav.\n"
              << "  --event PATH       JSON event manifest output. Default: build/vocrin_event.json.\n"
              << "  --log PATH         Text log output. Default: build/vocrin.log.\n"
              << "  --input-gain-db DB Apply processing gain after raw capture. Default: 0.0 dB.\n"
              << "  --live             Stream processed mono s16le PCM for a virtual microphone.\n"
              << "  --pcm-output PATH  Live PCM output path or FIFO. Default: /tmp/vocrin-beamformed-mic.pcm.\n"
              << "  --live-duration N  Live duration in seconds; 0 means continuous. Default: 0.\n"
              << "  --live-chunk-frames N Frames per live processing chunk. Default: 1024.\n"
              << "  --input-wav PATH   Analyze an existing raw 4-channel WAV instead of capturing.\n"
              << "  --skip-capture     Analyze --output PATH without running arecord.\n";
}
