#include "recognise/face_lines.h"

#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/names.h"

namespace {

constexpr double kFaceWidthM = 0.15;
constexpr double kPi = 3.14159265358979323846;

// Divided by a whole number of units: 0.01 has no exact double, so -706 * 0.01 would print as -7.0600000000000005.
double rounded(double value, double per_unit) { return std::round(value * per_unit) / per_unit; }

// Liveness verdict of a gated face: null when the gate rejected it before the check was made.
nlohmann::ordered_json live_verdict(const FaceQuality &quality) {
    if (quality.accepted) return true;
    if (quality.reason == kReasonFlat || quality.reason == kReasonNoDepth) return false;
    return nullptr;
}

}  // namespace

double face_bearing_degrees(double u, const ColourCamera &camera) {
    return std::atan((u - camera.cx) / camera.fx) * 180.0 / kPi;
}

double face_distance_m(double width, const ColourCamera &camera) { return kFaceWidthM * camera.fx / width; }

double unix_seconds_now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count()) / 1e6;
}

std::string faces_line(double time, int frame, const std::vector<FaceOutcome> &faces, const ColourCamera &camera,
                       bool liveness) {
    nlohmann::ordered_json line;
    line["time"] = rounded(time, 1e3);
    line["frame"] = frame;
    line["faces"] = nlohmann::ordered_json::array();
    for (const FaceOutcome &face : faces) {
        if (face.clipped.empty()) continue;  // wholly outside the frame: nothing measured
        const cv::Rect &box = face.clipped;
        nlohmann::ordered_json entry;
        entry["x"] = box.x;
        entry["y"] = box.y;
        entry["width"] = box.width;
        entry["height"] = box.height;
        entry["label"] = face.decision.label;
        entry["confidence"] = rounded(face.decision.confidence, 1e3);
        entry["quality"] = face.quality.reason;
        if (liveness) entry["live"] = live_verdict(face.quality);
        // The centre column of pixels x .. x + width - 1, in the coordinates of cx.
        entry["bearing_degrees"] = rounded(face_bearing_degrees(box.x + (box.width - 1) / 2.0, camera), 1e2);
        entry["distance_m"] = rounded(face_distance_m(box.width, camera), 1e3);
        line["faces"].push_back(entry);
    }
    return line.dump();
}
