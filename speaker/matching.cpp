#include "matching.h"

#include <algorithm>
#include <cmath>

namespace {

bool same_target(const Speaker &a, const Speaker &b) {
    if (a.kind != b.kind) return false;
    return a.kind != SpeakerKind::face || std::fabs(a.angle_degrees - b.angle_degrees) <= kSameFaceDegrees;
}

// The face of the picture nearest to `angle`, within `limit` degrees; null when none is.
const ArrayFace *nearest_face(const std::vector<ArrayFace> &faces, double angle, double limit) {
    const ArrayFace *nearest = nullptr;
    for (const ArrayFace &face : faces) {
        const double gap = std::fabs(face.angle_degrees - angle);
        if (gap <= limit && (nearest == nullptr || gap < std::fabs(nearest->angle_degrees - angle))) nearest = &face;
    }
    return nearest;
}

Speaker face_speaker(const ArrayFace &face) {
    Speaker speaker;
    speaker.kind = SpeakerKind::face;
    speaker.label = face.face.label;
    speaker.angle_degrees = face.angle_degrees;
    return speaker;
}

// Whom a confident chunk points at. The current speaker's face, missing from this picture but seen within the
// hold, still counts where it was: the detector misses a face now and then.
Speaker target_of(const MatchState &state, const VoiceChunk &chunk, const std::vector<ArrayFace> &faces,
                  bool own_face_in_picture) {
    std::vector<ArrayFace> candidates = faces;
    if (state.current.kind == SpeakerKind::face && !own_face_in_picture &&
        chunk.time - state.face_seen_at <= kHoldSeconds) {
        ArrayFace remembered;
        remembered.face.label = state.current.label;
        remembered.angle_degrees = state.current.angle_degrees;
        candidates.push_back(remembered);
    }
    if (const ArrayFace *face = nearest_face(candidates, chunk.angle_degrees, tolerance_degrees(chunk.confidence)))
        return face_speaker(*face);
    Speaker unseen;
    unseen.kind = SpeakerKind::unseen;
    unseen.angle_degrees = chunk.angle_degrees;
    return unseen;
}

}  // namespace

std::vector<ArrayFace> array_faces(const FaceFrame &frame, const ArrayGeometry &geometry) {
    std::vector<ArrayFace> faces;
    for (const SeenFace &seen : frame.faces) {
        ArrayFace face;
        face.face = seen;
        face.angle_degrees = array_angle_degrees(seen.bearing_degrees, seen.distance_m, geometry);
        faces.push_back(face);
    }
    return faces;
}

double tolerance_degrees(double confidence) {
    return kToleranceDegrees + kToleranceSpreadDegrees * (1.0 - std::clamp(confidence, 0.0, 1.0));
}

ChunkMatch match_chunk(MatchState &state, const VoiceChunk &chunk, const std::vector<ArrayFace> *faces) {
    ChunkMatch match;
    const Speaker before = state.current;
    bool switched = false;
    if (state.current.kind != SpeakerKind::nobody && chunk.time - state.last_support > kHoldSeconds) {
        state.current = Speaker{};
        switched = true;
    }
    if (state.candidate_chunks > 0 && chunk.time - state.candidate_last > kHoldSeconds) state.candidate_chunks = 0;

    const bool speaker_has_face = state.current.kind == SpeakerKind::face;
    const ArrayFace *own =
        faces && speaker_has_face ? nearest_face(*faces, state.current.angle_degrees, kSameFaceDegrees) : nullptr;
    if (own) state.face_seen_at = chunk.time;

    const bool confident = chunk.speech && chunk.has_angle && !chunk.low_confidence;
    if (confident && faces) {
        const Speaker target = target_of(state, chunk, *faces, own != nullptr);
        if (same_target(target, state.current)) {
            state.current.label = target.label;
            state.current.angle_degrees = target.angle_degrees;
            state.last_support = chunk.time;
            state.candidate_chunks = 0;
        } else {
            if (state.candidate_chunks > 0 && same_target(target, state.candidate)) {
                ++state.candidate_chunks;
            } else {
                state.candidate = target;
                state.candidate_chunks = 1;
            }
            state.candidate_last = chunk.time;
            if (state.candidate_chunks >= kSwitchChunks) {
                state.current = target;
                state.last_support = chunk.time;
                state.face_seen_at = chunk.time;
                state.candidate_chunks = 0;
                switched = true;
            }
        }
        match.attributed = state.current.kind != SpeakerKind::nobody;
        match.speaker = state.current;
        if (state.current.kind == SpeakerKind::face) {
            if (const ArrayFace *face = nearest_face(*faces, state.current.angle_degrees, kSameFaceDegrees)) {
                match.has_face = true;
                match.face = *face;
                match.difference_degrees = chunk.angle_degrees - face->angle_degrees;
            }
        }
    }
    match.changed = switched ? !(before.kind == SpeakerKind::nobody && state.current.kind == SpeakerKind::nobody)
                             : before.label != state.current.label;
    return match;
}
