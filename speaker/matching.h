#pragma once
// Who is speaking, chunk by chunk: a confident direction of speech goes to the face nearest to it, within a
// tolerance that grows as the confidence falls; speech no face explains is unseen. The speaker holds over short
// pauses, and the answer moves to another face (or to unseen) only once the direction has stayed with it, so
// that one stray chunk does not flip it.
#include <string>
#include <vector>

#include "geometry.h"
#include "lines.h"

// The speaker stays through pauses and unsure chunks this long after the last chunk that was theirs; then nobody.
constexpr double kHoldSeconds = 0.6;
// Confident chunks in a row (pauses and unsure chunks between them do not count) that a new speaker needs:
// 0.128 s at vocrin's default chunk of 1024 frames.
constexpr int kSwitchChunks = 2;
// A face within this many degrees of where the speaker's face was is the same face.
constexpr double kSameFaceDegrees = 10.0;
// The tolerance between a voice angle and a face's: this at confidence 1, plus this spread times (1 - confidence).
constexpr double kToleranceDegrees = 10.0;
constexpr double kToleranceSpreadDegrees = 20.0;

// A face of the picture and its angle as the array hears it.
struct ArrayFace {
    SeenFace face;
    double angle_degrees = 0.0;
};

std::vector<ArrayFace> array_faces(const FaceFrame &frame, const ArrayGeometry &geometry);

// Degrees a voice angle of this confidence (clamped to 0..1) may be from a face's angle.
double tolerance_degrees(double confidence);

enum class SpeakerKind { nobody, face, unseen };

struct Speaker {
    SpeakerKind kind = SpeakerKind::nobody;
    std::string label;           // a face's label as lumivar_face gave it
    double angle_degrees = 0.0;  // the face's angle, or the voice angle of unseen speech
};

struct MatchState {
    Speaker current;
    double last_support = 0.0;  // the time of the last chunk given to `current`
    double face_seen_at = 0.0;  // when the current speaker's face was last in a picture
    Speaker candidate;          // who the direction is moving to
    int candidate_chunks = 0;
    double candidate_last = 0.0;
};

struct ChunkMatch {
    // False for a chunk without speech, without a confident direction or without a picture: no speaker then.
    bool attributed = false;
    Speaker speaker;  // when attributed; nobody when no one has been established
    bool has_face = false;  // the speaker's face is in this chunk's picture
    ArrayFace face;
    double difference_degrees = 0.0;  // voice angle less the face's
    bool changed = false;             // the current speaker is another one now, or has another label, or nobody
};

// `faces` is the chunk's picture, null when it has none.
ChunkMatch match_chunk(MatchState &state, const VoiceChunk &chunk, const std::vector<ArrayFace> *faces);
