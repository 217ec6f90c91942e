#include "enroll/enroll_options.h"

#include <cstdlib>
#include <iostream>

namespace {

// lumivar_face's options that mean the same for enrolment.
bool is_shared_option(const std::string &arg) {
    static const char *const kShared[] = {
        "--samples-dir", "--frames", "--cascade", "--scale", "--scale-factor", "--min-neighbors",
        "--min-face-size", "--quality-min-face-size", "--quality-min-sharpness", "--quality-min-brightness",
        "--quality-max-brightness", "--quality-min-contrast", "--liveness-min-relief"};
    for (const char *name : kShared)
        if (arg == name) return true;
    return false;
}

OptionSlot enroll_option_slot(const std::string &arg, EnrollOptions &options) {
    OptionSlot s;
    if (arg == "--stage") { s.text = &options.stage; }
    else if (arg == "--count") { s.whole = &options.count; s.accepts = positive_value; }
    else if (arg == "--images") { s.text = &options.images_dir; options.from_images = true; }
    else if (arg == "--min-change") { s.real = &options.min_change; s.accepts = non_negative_value; }
    else if (is_shared_option(arg)) { s = face_option_slot(arg, options.face); }
    return s;
}

}  // namespace

bool is_plain_stage_name(const std::string &stage) {
    if (stage.empty() || stage.size() > 100 || stage[0] == '.') return false;
    for (const char c : stage) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        if (!plain) return false;
    }
    return true;
}

void print_enroll_usage(const std::string &program_name) {
    std::cout << "Usage: " << program_name
              << " [--samples-dir DIR] [--stage NAME] [--count N] [--images DIR] [--frames N] [--min-change D]"
                 " [--cascade PATH] [--scale S] [--scale-factor F] [--min-neighbors N] [--min-face-size PX]"
                 " [--quality-min-face-size PX] [--quality-min-sharpness D] [--quality-min-brightness D]"
                 " [--quality-max-brightness D] [--quality-min-contrast D] [--liveness] [--liveness-min-relief MM]"
                 " [--track]\n"
                 "  Saves 160 x 160 face samples of the enrolled person for lumivar_face, from the Kinect v2\n"
                 "  colour stream or from photos. One face per frame or photo; several faces save nothing.\n"
                 "  --samples-dir DIR   Samples directory of lumivar_face. Default: faces/veyra.\n"
                 "  --stage NAME        Subdirectory and manifest stage of the new samples. Default: enrol.\n"
                 "  --count N           Samples to save. Default: 20.\n"
                 "  --images DIR        Enrol from the photos under DIR instead of the sensor.\n"
                 "  --frames N          Colour frames looked at, at most (sensor only). Default: 300.\n"
                 "  --min-change D      Change needed from the last saved sample (RMS grey levels). Default: 10.\n"
                 "  --liveness          Sensor only: skip a face without depth relief (a photo, a screen).\n"
                 "  --track             Sensor only: follow faces between full-frame scans on a second thread.\n"
                 "  Detection, quality and liveness options: as lumivar_face's, with the same defaults.\n"
              << std::flush;
}

bool parse_enroll_args(int argc, char **argv, EnrollOptions &options) {
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_enroll";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_enroll_usage(program_name);
            std::exit(0);
        }
        if (note_liveness_option(arg, options.face) && arg == "--liveness") continue;
        if (arg == "--track") {
            options.face.track = true;
            continue;
        }
        const OptionSlot slot = enroll_option_slot(arg, options);
        if (!slot.known()) {
            std::cerr << "Unknown argument: " << arg << "\n";
            return false;
        }
        if (i + 1 >= argc) {
            std::cerr << arg << " requires a value\n";
            return false;
        }
        if (!store_option_value(slot, argv[++i])) return false;
    }
    if (!is_plain_stage_name(options.stage)) {
        std::cerr << "--stage must be 1 to 100 letters, digits, '-', '_' or '.', not starting with '.'\n";
        return false;
    }
    if (options.face.liveness && options.from_images) {
        std::cerr << "--liveness needs the sensor's depth: it cannot be used with --images\n";
        return false;
    }
    if (options.face.track && options.from_images) {
        std::cerr << "--track follows faces from frame to frame: it cannot be used with --images\n";
        return false;
    }
    return cross_checks_pass(options.face);
}
