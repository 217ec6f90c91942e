// lumivar_speaker: who is speaking, from lumivar_face's faces and vocrin's directions.
#include <iostream>
#include <string>
#include <vector>

#include "names.h"
#include "speaker_options.h"
#include "speaker_run.h"
#include "stop_signals.h"

int main(int argc, char **argv) {
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_speaker";
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    SpeakerOptions options;
    std::string why;
    switch (read_speaker_command(words, options, why)) {
    case SpeakerReading::help:
        print_speaker_usage(program_name);
        return 0;
    case SpeakerReading::refused:
        std::cerr << why << "\n";
        print_speaker_usage(program_name);
        return kRejectedCommandLineStatus;
    case SpeakerReading::accepted:
        break;
    }
    catch_stop_signals();
    return options.calibrate ? run_calibration(options) : run_speaker(options);
}
