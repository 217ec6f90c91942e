#pragma once
// The two line streams read: lumivar_face's faces per frame and vocrin's direction per chunk, one JSON object a
// line, and the count of lines that are not.
#include <iosfwd>
#include <string>
#include <vector>

struct SeenFace {
    int x = 0, y = 0, width = 0, height = 0;  // full-frame pixels
    std::string label;
    double bearing_degrees = 0.0;  // from the colour camera's axis, positive to the image's right
    double distance_m = 0.0;
};

struct FaceFrame {
    double time = 0.0;  // Unix seconds
    long long frame = 0;
    std::vector<SeenFace> faces;
};

struct VoiceChunk {
    double time = 0.0;  // Unix seconds (or seconds into a recording) of the chunk's first sample
    long long chunk = 0;
    bool speech = false;
    bool has_angle = false;  // angle_degrees and confidence are numbers, not null
    double angle_degrees = 0.0;
    double confidence = 0.0;
    bool low_confidence = true;
};

// Each returns empty for a usable line, else why not: "not JSON", or "no FIELD" for a field that is missing or of
// the wrong kind. Fields read: time, frame, faces and per face x, y, width, height, label, bearing_degrees,
// distance_m; time, chunk, speech, angle_degrees and confidence (numbers or null), low_confidence.
std::string read_face_line(const std::string &text, FaceFrame &frame);
std::string read_voice_line(const std::string &text, VoiceChunk &chunk);

// Lines of one stream that could not be used: all counted, the first one reported.
struct BadLines {
    std::string stream;  // "faces" or "voice"
    long long count = 0;
};

// Counts the line and, for the stream's first, writes "warning: STREAM line N: WHY; ..." to `report`.
void note_bad_line(BadLines &bad, long long line_number, const std::string &why, std::ostream &report);
