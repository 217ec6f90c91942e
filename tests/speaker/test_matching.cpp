// The face angle as the array hears it, the join in time, and who is speaking chunk by chunk: the hold over
// pauses, the switch that needs the direction to stay, the tolerance that grows as the confidence falls.
#include <cmath>

#include <gtest/gtest.h>

#include "geometry.h"
#include "matching.h"
#include "time_join.h"

namespace {

constexpr double kStep = 0.064;  // vocrin's default chunk

FaceFrame picture(double time, std::vector<std::pair<std::string, double>> faces) {
    FaceFrame frame;
    frame.time = time;
    frame.frame = static_cast<long long>(time * 10);
    for (const auto &[label, bearing] : faces) {
        SeenFace face;
        face.label = label;
        face.bearing_degrees = bearing;
        face.distance_m = 1.5;
        face.x = static_cast<int>(bearing * 10);
        face.width = face.height = 100;
        frame.faces.push_back(face);
    }
    return frame;
}

VoiceChunk voice(double time, double angle, bool speech = true, double confidence = 0.9) {
    VoiceChunk chunk;
    chunk.time = time;
    chunk.chunk = std::lround(time / kStep) + 1;
    chunk.speech = speech;
    chunk.has_angle = true;
    chunk.angle_degrees = angle;
    chunk.confidence = confidence;
    chunk.low_confidence = confidence < 0.35;
    return chunk;
}

// Feeds chunks every kStep from `start` and returns each one's speaker ("-" for none) and whether it changed.
struct Fed {
    std::vector<std::string> speakers;
    int changes = 0;
};
Fed feed(MatchState &state, double &time, int count, double angle, const std::vector<ArrayFace> *faces,
         bool speech = true, double confidence = 0.9) {
    Fed fed;
    for (int i = 0; i < count; ++i, time += kStep) {
        const ChunkMatch match = match_chunk(state, voice(time, angle, speech, confidence), faces);
        fed.speakers.push_back(!match.attributed ? "-"
                               : match.speaker.kind == SpeakerKind::unseen ? "unseen"
                                                                            : match.speaker.label);
        fed.changes += match.changed;
    }
    return fed;
}

using Labels = std::vector<std::string>;

TEST(SpeakerGeometry, FaceAngleFollowsSignAndOffsetAndToleranceGrowsAsConfidenceFalls) {
    EXPECT_NEAR(array_angle_degrees(20.0, 1.5, {1, 0.0}), 20.0, 1e-9);
    EXPECT_NEAR(array_angle_degrees(20.0, 1.5, {-1, 0.0}), -20.0, 1e-9);
    // Straight ahead at 1 m, the array 9 cm to the image's right hears the face 5.14 degrees to its left.
    EXPECT_NEAR(array_angle_degrees(0.0, 1.0, {1, 0.09}), -5.143, 1e-3);
    // X = Z tan(bearing): 1 m at 45 degrees is 1 m sideways; 0.5 m of offset leaves atan(0.5 / 1).
    EXPECT_NEAR(array_angle_degrees(45.0, 1.0, {-1, 0.5}), -26.565, 1e-3);
    EXPECT_DOUBLE_EQ(tolerance_degrees(1.0), 10.0);
    EXPECT_DOUBLE_EQ(tolerance_degrees(0.5), 20.0);
    EXPECT_DOUBLE_EQ(tolerance_degrees(0.0), 30.0);
    EXPECT_DOUBLE_EQ(tolerance_degrees(7.0), 10.0);
    EXPECT_DOUBLE_EQ(tolerance_degrees(-1.0), 30.0);
    // The picture's faces carry the geometry.
    const std::vector<ArrayFace> faces = array_faces(picture(0, {{"Unknown", 10.0}}), {-1, 0.0});
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_NEAR(faces[0].angle_degrees, -10.0, 1e-9);
}

TEST(SpeakerTimeJoin, NearestFrameWithinAQuarterSecondAndOnlyOnceNoNearerCanCome) {
    FaceTimeline timeline;
    timeline.frames = {picture(10.0, {}), picture(10.3, {}), picture(10.6, {})};
    EXPECT_EQ(nearest_frame(timeline, 10.1)->time, 10.0);
    EXPECT_EQ(nearest_frame(timeline, 10.2)->time, 10.3);
    EXPECT_EQ(nearest_frame(timeline, 10.85)->time, 10.6);
    EXPECT_EQ(nearest_frame(timeline, 10.86), nullptr);
    EXPECT_EQ(nearest_frame(timeline, 9.74), nullptr);
    EXPECT_TRUE(join_ready(timeline, 10.35));
    EXPECT_FALSE(join_ready(timeline, 10.36));  // a frame up to 10.61 may still come
    forget_frames_before(timeline, 10.54);  // 10.3 may still be the nearest to 10.54, 10.0 no more
    ASSERT_EQ(timeline.frames.size(), 2u);
    EXPECT_EQ(timeline.frames.front().time, 10.3);
    timeline.ended = true;
    EXPECT_TRUE(join_ready(timeline, 99.0));
}

TEST(SpeakerMatching, SwitchNeedsTwoChunksHoldKeepsTheSpeakerThroughShortPausesThenLetsGo) {
    const FaceFrame two = picture(0, {{"ConfirmedVeyra", -20.0}, {"Unknown", 25.0}});
    const std::vector<ArrayFace> faces = array_faces(two, {});
    MatchState state;
    double t = 0.0;
    // The first chunk toward a face is not yet enough; the second is.
    Fed fed = feed(state, t, 3, -18.0, &faces);
    EXPECT_EQ(fed.speakers, (Labels{"-", "ConfirmedVeyra", "ConfirmedVeyra"}));
    EXPECT_EQ(fed.changes, 1);
    // One stray chunk toward the other face does not flip the answer, nor does one with no face.
    fed = feed(state, t, 1, 24.0, &faces);
    fed.speakers.push_back(feed(state, t, 1, -19.0, &faces).speakers[0]);
    fed.speakers.push_back(feed(state, t, 1, 70.0, &faces).speakers[0]);
    fed.speakers.push_back(feed(state, t, 1, -21.0, &faces).speakers[0]);
    EXPECT_EQ(fed.speakers, (Labels{"ConfirmedVeyra", "ConfirmedVeyra", "ConfirmedVeyra", "ConfirmedVeyra"}));
    EXPECT_EQ(state.current.kind, SpeakerKind::face);
    // A pause of 0.5 s: no speaker for its chunks, yet the same face speaks on at once.
    fed = feed(state, t, 8, -20.0, &faces, false);
    EXPECT_EQ(fed.speakers, Labels(8, "-"));
    EXPECT_EQ(fed.changes, 0);
    fed = feed(state, t, 1, -20.0, &faces);
    EXPECT_EQ(fed.speakers, Labels{"ConfirmedVeyra"});
    // Unsure chunks are nobody's and do not keep the speaker: after 0.6 s of them the speaker is none.
    fed = feed(state, t, 10, -20.0, &faces, true, 0.2);
    EXPECT_EQ(fed.speakers, Labels(10, "-"));
    EXPECT_EQ(fed.changes, 1);
    EXPECT_EQ(state.current.kind, SpeakerKind::nobody);
    // The other face, then speech from where no face is.
    fed = feed(state, t, 2, 26.0, &faces);
    EXPECT_EQ(fed.speakers, (Labels{"-", "Unknown"}));
    fed = feed(state, t, 3, -60.0, &faces);
    EXPECT_EQ(fed.speakers, (Labels{"Unknown", "unseen", "unseen"}));
    EXPECT_EQ(state.current.angle_degrees, -60.0);
    // Without a picture a chunk has no speaker and changes nothing.
    fed = feed(state, t, 3, 26.0, nullptr);
    EXPECT_EQ(fed.speakers, Labels(3, "-"));
    EXPECT_EQ(state.current.kind, SpeakerKind::unseen);
}

TEST(SpeakerMatching, ToleranceFaceBoxLabelChangesAndAFaceTheDetectorMissed) {
    const std::vector<ArrayFace> faces = array_faces(picture(0, {{"CandidateVeyra", -20.0}}), {});
    MatchState state;
    double t = 0.0;
    // At confidence 0.5 a face 19 degrees away explains the voice; at 0.9 (tolerance 12) it does not.
    Fed fed = feed(state, t, 2, -1.0, &faces, true, 0.5);
    EXPECT_EQ(fed.speakers, (Labels{"-", "CandidateVeyra"}));
    const ChunkMatch held = match_chunk(state, voice(t, -17.5, true, 0.9), &faces);
    t += kStep;
    ASSERT_TRUE(held.has_face);
    EXPECT_EQ(held.face.face.x, -200);
    EXPECT_DOUBLE_EQ(held.difference_degrees, 2.5);
    MatchState strict;
    double s = 0.0;
    EXPECT_EQ(feed(strict, s, 2, -1.0, &faces, true, 0.9).speakers, (Labels{"-", "unseen"}));

    // The same face confirmed: a change of label is a change, of the same speaker.
    const std::vector<ArrayFace> confirmed = array_faces(picture(0, {{"ConfirmedVeyra", -22.0}}), {});
    fed = feed(state, t, 1, -21.0, &confirmed);
    EXPECT_EQ(fed.speakers, Labels{"ConfirmedVeyra"});
    EXPECT_EQ(fed.changes, 1);
    // A picture without the face: it still speaks from where it was seen, for the hold; then it is unseen.
    const std::vector<ArrayFace> empty;
    fed = feed(state, t, 9, -21.0, &empty);
    EXPECT_EQ(fed.speakers, Labels(9, "ConfirmedVeyra"));
    fed = feed(state, t, 3, -21.0, &empty);
    EXPECT_EQ(fed.speakers, (Labels{"ConfirmedVeyra", "unseen", "unseen"}));
}

}  // namespace
