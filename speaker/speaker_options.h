#pragma once
// lumivar_speaker's command line: one record, its reader and the usage text.
#include <string>
#include <vector>

struct SpeakerOptions {
    std::string faces;  // lumivar_face --faces-out lines
    std::string voice;  // vocrin --directions-out lines
    std::string out;    // one JSON line per voice chunk; empty: none
    bool follow = false;     // regular files: wait for more lines at their end, as FIFOs do
    bool calibrate = false;  // fit --sign and --offset instead
    // The array's angle of a face: sign * atan2(X - offset, Z) (speaker/geometry.h).
    int sign = 1;
    double offset_m = 0.0;
};

enum class SpeakerReading { accepted, help, refused };

// Reads the words after the program name into `options`; `why` says what was refused.
SpeakerReading read_speaker_command(const std::vector<std::string> &words, SpeakerOptions &options,
                                    std::string &why);

void print_speaker_usage(const std::string &program_name);
