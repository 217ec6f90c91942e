#pragma once
// Lines as lumivar_face --faces-out and vocrin --directions-out write them, written here by hand, and runs of
// lumivar_speaker on them.
#include <cstdio>
#include <string>
#include <vector>

#include "run_program.h"

namespace speaker_test {

using namespace lumivar_test;

// `value` with `decimals` digits after the point, as the programs print seconds and degrees.
inline std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Face {
    std::string label;
    double bearing_degrees;
    double distance_m = 1.5;
    int x = 0;
};

inline std::string face_line(double time, long long frame, const std::vector<Face> &faces) {
    std::string line = "{\"time\":" + std::to_string(time) + ",\"frame\":" + std::to_string(frame) + ",\"faces\":[";
    for (size_t i = 0; i < faces.size(); ++i) {
        char entry[400];
        std::snprintf(entry, sizeof entry,
                      "%s{\"x\":%d,\"y\":40,\"width\":100,\"height\":100,\"label\":\"%s\",\"confidence\":50.5,"
                      "\"quality\":\"accepted\",\"bearing_degrees\":%.2f,\"distance_m\":%.3f}",
                      i ? "," : "", faces[i].x, faces[i].label.c_str(), faces[i].bearing_degrees,
                      faces[i].distance_m);
        line += entry;
    }
    return line + "]}\n";
}

inline std::string voice_line(double time, long long chunk, bool speech, double angle, double confidence) {
    char line[300];
    std::snprintf(line, sizeof line,
                  "{\"time\":%.3f,\"chunk\":%lld,\"angle_degrees\":%.2f,\"confidence\":%.2f,"
                  "\"low_confidence\":%s,\"speech\":%s,\"rms\":0.01}\n",
                  time, chunk, angle, confidence, confidence < 0.35 ? "true" : "false", speech ? "true" : "false");
    return line;
}

struct SpeakerRun {
    int status = -1;
    std::string out, err;
};

// Runs lumivar_speaker to its end (killed after `timeout_seconds`).
inline SpeakerRun run_speaker(const std::vector<std::string> &args, const ScratchDir &scratch, double timeout_seconds = 60) {
    std::vector<std::string> argv{LUMIVAR_SPEAKER_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = spawn_process(argv, {}, scratch.file("stdout"), scratch.file("stderr"));
    SpeakerRun run;
    run.status = exit_code(wait_for_exit(pid, timeout_seconds));
    run.out = read_file(scratch / "stdout");
    run.err = read_file(scratch / "stderr");
    return run;
}

}  // namespace speaker_test
