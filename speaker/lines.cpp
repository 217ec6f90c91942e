#include "lines.h"

#include <ostream>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

bool number_field(const json &object, const char *name, double &value) {
    const auto at = object.find(name);
    if (at == object.end() || !at->is_number()) return false;
    value = at->get<double>();
    return true;
}

bool whole_field(const json &object, const char *name, long long &value) {
    const auto at = object.find(name);
    if (at == object.end() || !at->is_number_integer()) return false;
    value = at->get<long long>();
    return true;
}

bool pixel_field(const json &object, const char *name, int &value) {
    long long whole = 0;
    if (!whole_field(object, name, whole) || whole < -1000000 || whole > 1000000) return false;
    value = static_cast<int>(whole);
    return true;
}

bool bool_field(const json &object, const char *name, bool &value) {
    const auto at = object.find(name);
    if (at == object.end() || !at->is_boolean()) return false;
    value = at->get<bool>();
    return true;
}

std::string missing(const char *name) { return std::string("no ") + name; }

bool parse_object(const std::string &text, json &object) {
    object = json::parse(text, nullptr, false);
    return !object.is_discarded() && object.is_object();
}

std::string read_face(const json &object, SeenFace &face) {
    if (!object.is_object()) return missing("face object");
    if (!pixel_field(object, "x", face.x)) return missing("x");
    if (!pixel_field(object, "y", face.y)) return missing("y");
    if (!pixel_field(object, "width", face.width)) return missing("width");
    if (!pixel_field(object, "height", face.height)) return missing("height");
    const auto label = object.find("label");
    if (label == object.end() || !label->is_string()) return missing("label");
    face.label = label->get<std::string>();
    if (!number_field(object, "bearing_degrees", face.bearing_degrees)) return missing("bearing_degrees");
    if (!number_field(object, "distance_m", face.distance_m) || face.distance_m <= 0.0) return missing("distance_m");
    return "";
}

}  // namespace

std::string read_face_line(const std::string &text, FaceFrame &frame) {
    json object;
    if (!parse_object(text, object)) return "not JSON";
    if (!number_field(object, "time", frame.time)) return missing("time");
    if (!whole_field(object, "frame", frame.frame)) return missing("frame");
    const auto faces = object.find("faces");
    if (faces == object.end() || !faces->is_array()) return missing("faces");
    frame.faces.clear();
    for (const json &entry : *faces) {
        SeenFace face;
        if (const std::string why = read_face(entry, face); !why.empty()) return why;
        frame.faces.push_back(face);
    }
    return "";
}

std::string read_voice_line(const std::string &text, VoiceChunk &chunk) {
    json object;
    if (!parse_object(text, object)) return "not JSON";
    if (!number_field(object, "time", chunk.time)) return missing("time");
    if (!whole_field(object, "chunk", chunk.chunk)) return missing("chunk");
    if (!bool_field(object, "speech", chunk.speech)) return missing("speech");
    if (!bool_field(object, "low_confidence", chunk.low_confidence)) return missing("low_confidence");
    // A chunk without a direction says so with nulls.
    const auto angle = object.find("angle_degrees");
    const auto confidence = object.find("confidence");
    if (angle == object.end() || !(angle->is_number() || angle->is_null())) return missing("angle_degrees");
    if (confidence == object.end() || !(confidence->is_number() || confidence->is_null())) return missing("confidence");
    chunk.has_angle = angle->is_number() && confidence->is_number();
    chunk.angle_degrees = angle->is_number() ? angle->get<double>() : 0.0;
    chunk.confidence = confidence->is_number() ? confidence->get<double>() : 0.0;
    return "";
}

void note_bad_line(BadLines &bad, long long line_number, const std::string &why, std::ostream &report) {
    if (++bad.count == 1) {
        report << "warning: " << bad.stream << " line " << line_number << ": " << why
               << "; skipped (later bad lines are only counted in the summary)" << std::endl;
    }
}
