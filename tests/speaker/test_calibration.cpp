// lumivar_speaker --calibrate on short walks: one person talking from three places (one of them twice, with a stop
// too short to count), rendered with the other sign and a 9 cm offset; then the walks it cannot use.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "geometry.h"
#include "speaker_lines.h"

namespace {

using namespace speaker_test;

constexpr double kChunk = 0.064;
constexpr double kFrame = 0.285;

struct Stop {
    double bearing_degrees, distance_m;
    int chunks;
    double voice_angle_degrees = NAN;  // NAN: as the true geometry gives it
};

// The walk as two files: per stop, frames of the one face (or `faces_in_view` copies of it) and confident speech
// from where the array hears it, +-0.4 degrees about the truth; a second of silence between stops.
void write_walk(const ScratchDir &dir, const std::vector<Stop> &stops, int faces_in_view = 1) {
    const ArrayGeometry truth{-1, 0.09};
    std::string faces, voice;
    double t = 1700000000.0;
    long long frame = 0, chunk = 0;
    for (const Stop &stop : stops) {
        const double angle = std::isnan(stop.voice_angle_degrees)
                                 ? array_angle_degrees(stop.bearing_degrees, stop.distance_m, truth)
                                 : stop.voice_angle_degrees;
        const double end = t + (stop.chunks + 16) * kChunk;
        for (double f = t; f < end; f += kFrame) {
            std::vector<Face> view;
            for (int i = 0; i < faces_in_view; ++i) view.push_back({"ConfirmedVeyra", stop.bearing_degrees + 30 * i,
                                                                    stop.distance_m});
            faces += face_line(f, ++frame, view);
        }
        for (int i = 0; i < stop.chunks + 16; ++i) {
            const bool speech = i < stop.chunks;
            const double noise = (i % 3 == 1) ? 0.4 : (i % 3 == 2) ? -0.4 : 0.0;
            voice += voice_line(t + i * kChunk, ++chunk, speech, angle + noise, speech ? 0.9 : 0.1);
        }
        t = end;
    }
    write_file(dir / "faces.jsonl", faces);
    write_file(dir / "voice.jsonl", voice);
}

SpeakerRun calibrate(const ScratchDir &dir) {
    return run_speaker({"--calibrate", "--faces", dir.file("faces.jsonl"), "--voice", dir.file("voice.jsonl")}, dir);
}

TEST(SpeakerCalibration, FitsTheOtherSignAndANineCentimetreOffsetFromThreePlaces) {
    ScratchDir dir;
    write_walk(dir, {{-25.0, 1.2, 30}, {0.0, 2.0, 30}, {-25.0, 1.25, 30}, {10.0, 1.5, 5}, {20.0, 1.5, 30}});
    const SpeakerRun run = calibrate(dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    EXPECT_EQ(lines[0].rfind("calibration: voice_chunks=" + std::to_string(125 + 5 * 16) +
                                 ", speech_chunks=125, face_frames=",
                             0),
              0u)
        << lines[0];
    EXPECT_NE(lines[0].find(", one_face_chunks=125, two_face_chunks=0, places=3, bad_face_lines=0, bad_voice_lines=0"),
              std::string::npos)
        << lines[0];
    // The place visited twice holds both visits; the median distance lies between them.
    EXPECT_EQ(lines[1], "place: 1, chunks=60, face_bearing_degrees=-25.00, distance_m=1.225, voice_angle_degrees=" +
                            std::string(lines[1].substr(lines[1].rfind('=') + 1)));
    EXPECT_EQ(lines[2].rfind("place: 2, chunks=30, face_bearing_degrees=0.00, distance_m=2.000, ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("place: 3, chunks=30, face_bearing_degrees=20.00, distance_m=1.500, ", 0), 0u);
    EXPECT_EQ(lines[4].rfind("fit: sign=-1, offset_m=0.09", 0), 0u) << lines[4];
    EXPECT_NE(lines[4].find(", explained=1.000"), std::string::npos) << lines[4];
    EXPECT_EQ(lines[5].rfind("use: lumivar_speaker --sign -1 --offset 0.09", 0), 0u) << lines[5];

    // The printed options carry the fit: with them every place's speech is the person's, never unseen.
    std::vector<std::string> words{"--faces", dir.file("faces.jsonl"), "--voice", dir.file("voice.jsonl")};
    std::istringstream use(lines[5].substr(std::string("use: lumivar_speaker ").size()));
    for (std::string word; use >> word;) words.push_back(word);
    const SpeakerRun fitted = run_speaker(words, dir);
    EXPECT_EQ(fitted.status, 0) << fitted.err;
    EXPECT_EQ(fitted.out.rfind("speaker: ConfirmedVeyra at ", 0), 0u) << fitted.out;
    EXPECT_EQ(fitted.out.find("unseen at"), std::string::npos) << fitted.out;
}

TEST(SpeakerCalibration, TooFewPlacesTwoFacesAtOnceAndAFitThatExplainsNothingEachEndWithTheirStatus) {
    ScratchDir dir;
    write_walk(dir, {{-25.0, 1.2, 30}, {0.0, 2.0, 30}, {20.0, 1.5, 7}});
    SpeakerRun run = calibrate(dir);
    EXPECT_EQ(run.status, 4) << run.out;
    EXPECT_NE(run.out.find(", places=2, "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("error: speech matched to the face at 2 place(s); 3 or more are needed"), std::string::npos);
    EXPECT_EQ(run.out.find("use: "), std::string::npos);

    write_walk(dir, {{-25.0, 1.2, 30}, {0.0, 2.0, 30}, {20.0, 1.5, 30}}, 2);
    run = calibrate(dir);
    EXPECT_EQ(run.status, 5) << run.out;
    EXPECT_NE(run.out.find("error: two faces at once in 90 of 90 chunks of speech (the first in frame 1)"),
              std::string::npos)
        << run.out;

    // The voice stays put while the face moves: no sign and offset explain that.
    write_walk(dir, {{-25.0, 1.5, 30, 0.0}, {0.0, 1.5, 30, 30.0}, {25.0, 1.5, 30, 0.0}});
    run = calibrate(dir);
    EXPECT_EQ(run.status, 6) << run.out;
    EXPECT_NE(run.out.find("\nfit: sign="), std::string::npos);
    EXPECT_NE(run.out.find("error: the fit explains nothing: explained="), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("use: "), std::string::npos);
}

}  // namespace
