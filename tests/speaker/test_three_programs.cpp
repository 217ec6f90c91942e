// The three real programs on one short scene: lumivar_face on the simulated sensor sees the enrolled person and a
// stranger, vocrin finds the direction of each chunk of a four-channel recording in which each talks in turn from
// their face's bearing with a pause between, and lumivar_speaker says who speaks when.
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "face_programs.h"
#include "sensor_frames.h"
#include "signals.h"
#include "simulated_array.h"
#include "speaker_lines.h"
#include "test_photos.h"
#include "wav_bytes.h"

namespace {

constexpr double kRate = 16000.0;
constexpr double kChunkSeconds = 1024 / kRate;  // vocrin's default chunk
const std::vector<double> kMics{-0.113, 0.036, 0.076, 0.113};

// One talker's stretch of the recording, in seconds from its start.
struct Turn {
    double from = 0.0, to = 0.0;
    double bearing_degrees = 0.0;
    std::string label;
};

// The labels of a frame's faces, in lumivar_face's order.
std::vector<std::string> labels(const nlohmann::json &frame) {
    std::vector<std::string> found;
    for (const nlohmann::json &face : frame["faces"]) found.push_back(face["label"].get<std::string>());
    return found;
}

// The whole lines of a file still being written.
std::vector<nlohmann::json> whole_lines(const std::string &path) {
    std::string text = lumivar_test::read_file(path);
    text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
    std::vector<nlohmann::json> lines;
    for (const std::string &line : lumivar_test::split_lines(text)) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(ThreePrograms, TwoFacesTakingTurnsWithAPauseAreEachGivenTheirOwnSpeech) {
    lumivar_test::ScratchDir dir;
    // The picture: the enrolled person left of the centre, a stranger right of it, 640 x 360, looped.
    const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
    face_test::write_samples_from_photo(enrolled, dir / "samples", "veyra");
    cv::Mat person, stranger;
    cv::resize(enrolled(cv::Rect(0, 0, enrolled.cols, 460)), person, cv::Size(), 2.0 / 3, 2.0 / 3, cv::INTER_AREA);
    cv::resize(face_test::read_photo(face_test::kOtherPhoto)(cv::Rect(80, 0, 300, 300)), stranger, cv::Size(280, 280),
               0, 0, cv::INTER_AREA);
    const cv::Mat frame = face_test::compose_frame(cv::Size(640, 360), {{person, {13, 27}}, {stranger, {347, 27}}});
    ASSERT_EQ(face_test::default_detections(frame).size(), 2u);
    face_test::write_image(dir / "frames/frame_001.png", frame);

    // The sound: a pause, the enrolled person's words, a pause, the stranger's, a pause.
    std::vector<std::vector<double>> words;
    for (const char *text : {"Turn on the kitchen light and tell me the weather", "The red house has a green door"}) {
        voicetest::speak_to_wav(dir, text, dir.file("words.wav"));
        words.push_back(read_wav(dir.file("words.wav")).samples.at(0));
    }
    std::vector<Turn> turns(2);
    turns[0].from = 0.8;
    turns[0].to = turns[0].from + words[0].size() / kRate;
    turns[1].from = turns[0].to + 1.6;
    turns[1].to = turns[1].from + words[1].size() / kRate;
    const double length = turns[1].to + 1.2;

    // lumivar_face at up to 10 frames a second until its lines, once both labels have settled, cover the recording.
    face_test::RunRequest face;
    face.args = face_test::base_args(dir / "samples", dir, 100000);
    face.args.insert(face.args.end(), {"--faces-out", dir.file("faces.jsonl")});
    face.env = {{"LUMIVAR_SIM_FRAMES", dir.file("frames")}, {"LUMIVAR_SIM_LOOP", "1"}, {"LUMIVAR_SIM_FPS", "10"}};
    face_test::Child face_run;
    face_test::start_program(face, face_run);
    std::vector<nlohmann::json> frames;
    size_t settled = 0;  // the first frame from which on both faces keep their labels
    ASSERT_TRUE(lumivar_test::wait_until(
        [&] {
            frames = whole_lines(dir.file("faces.jsonl"));
            settled = frames.size();
            while (settled > 0 && frames[settled - 1]["faces"].size() == 2 &&
                   labels(frames[settled - 1]) == labels(frames.back()))
                --settled;
            return settled + 1 < frames.size() &&
                   frames.back()["time"].get<double>() - frames[settled]["time"].get<double>() > length + 0.5;
        },
        300))
        << face_run.out();
    ::kill(face_run.pid, SIGINT);
    const face_test::RunResult face_result = face_test::wait_program(face_run, 60);
    ASSERT_EQ(face_result.status, 0) << face_result.out << face_result.err;
    frames = whole_lines(dir.file("faces.jsonl"));
    ASSERT_EQ(frames.back()["faces"].size(), 2u);
    for (const nlohmann::json &seen : frames.back()["faces"]) {
        Turn &turn = turns[seen["bearing_degrees"].get<double>() < 0 ? 0 : 1];
        turn.bearing_degrees = seen["bearing_degrees"].get<double>();
        turn.label = seen["label"].get<std::string>();
    }
    EXPECT_LT(turns[0].bearing_degrees, -15.0);
    EXPECT_GT(turns[1].bearing_degrees, 15.0);
    EXPECT_NE(turns[0].label, "Unknown");
    EXPECT_EQ(turns[1].label, "Unknown");

    // Each talker from their face's bearing, a little sensor noise on every microphone, as a 32-bit WAV.
    const size_t samples = static_cast<size_t>(length * kRate);
    WavData scene;
    for (size_t t = 0; t < turns.size(); ++t) {
        std::vector<double> source(samples, 0.0);
        std::copy(words[t].begin(), words[t].end(), source.begin() + static_cast<long>(turns[t].from * kRate));
        const WavData heard =
            voicetest::array_from_direction(source, turns[t].bearing_degrees, kMics, 3e-4, 11 + t);
        if (scene.samples.empty()) scene = heard;
        else
            for (size_t c = 0; c < kMics.size(); ++c)
                for (size_t i = 0; i < samples; ++i) scene.samples[c][i] += heard.samples[c][i];
    }
    const std::vector<unsigned char> raw = voicetest::s32le_bytes(voicetest::looped_codes(scene, samples));
    const std::string data = voicetest::chunk("data", std::string(raw.begin(), raw.end()));
    lumivar_test::write_file(dir / "scene.wav", voicetest::riff(voicetest::fmt_chunk(1, 4, 16000, 32) + data));
    const voicetest::RunResult voice = voicetest::run(
        {VOCRIN_BIN, "--input-wav", dir.file("scene.wav"), "--beamformed", dir.file("beam.wav"), "--event",
         dir.file("event.json"), "--log", "", "--mic-positions", "-0.113,0.036,0.076,0.113", "--directions-out",
         dir.file("voice.jsonl")},
        dir.path);
    ASSERT_EQ(voice.status, 0) << voice.out;

    // A batch run counts time from the recording's start: the recording starts at the settled frame, as if both
    // programs had been started together.
    const double start = frames[settled]["time"].get<double>();
    std::string shifted;
    for (const std::string &line : lumivar_test::split_lines(lumivar_test::read_file(dir / "voice.jsonl"))) {
        nlohmann::ordered_json chunk = nlohmann::ordered_json::parse(line);
        chunk["time"] = chunk["time"].get<double>() + start;
        shifted += chunk.dump() + "\n";
    }
    lumivar_test::write_file(dir / "voice_on_clock.jsonl", shifted);

    const speaker_test::SpeakerRun run = speaker_test::run_speaker({"--faces", dir.file("faces.jsonl"), "--voice",
                                                                    dir.file("voice_on_clock.jsonl"), "--out",
                                                                    dir.file("who.jsonl")},
                                                                   dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    // Each talker's chunks from half a second into the turn to its end, and the pauses from 0.3 s after a turn.
    const std::vector<std::string> voice_lines = lumivar_test::split_lines(shifted);
    const std::vector<std::string> who = lumivar_test::split_lines(lumivar_test::read_file(dir / "who.jsonl"));
    ASSERT_EQ(who.size(), voice_lines.size());
    int speech_chunks = 0, pause_chunks = 0, given_in_pause = 0;
    std::vector<int> turn_speech(turns.size(), 0), given_right(turns.size(), 0), given_wrong(turns.size(), 0);
    std::vector<int> given(turns.size(), 0);
    for (const std::string &line : who) {
        const nlohmann::json chunk = nlohmann::json::parse(line);
        const double t = chunk["time"].get<double>() - start;
        const bool speaks = chunk["speech"].get<bool>();
        speech_chunks += speaks;
        const std::string speaker = chunk["speaker"].is_null() ? "" : chunk["speaker"].get<std::string>();
        bool in_a_turn = false;
        for (size_t i = 0; i < turns.size(); ++i) {
            given[i] += speaker == turns[i].label;
            if (t < turns[i].from || t > turns[i].to + 0.3) continue;
            in_a_turn = true;
            given_wrong[i] += !speaker.empty() && speaker != turns[i].label;
            if (t >= turns[i].from + 0.5 && t <= turns[i].to && speaks) {
                ++turn_speech[i];
                given_right[i] += speaker == turns[i].label;
            }
        }
        if (!in_a_turn) {
            ++pause_chunks;
            given_in_pause += !speaker.empty();
        }
    }
    EXPECT_GT(pause_chunks, 25);
    EXPECT_EQ(given_in_pause, 0);
    for (size_t i = 0; i < turns.size(); ++i) {
        EXPECT_GT(turn_speech[i], 10) << turns[i].label;
        EXPECT_GE(10 * given_right[i], 9 * turn_speech[i]) << turns[i].label;
        EXPECT_EQ(given_wrong[i], 0) << turns[i].label;
    }

    // On standard output: each face as it starts to speak, nobody in the pause and at the end, and the summary.
    int vocrin_speech = 0;
    for (const std::string &line : voice_lines) vocrin_speech += nlohmann::json::parse(line)["speech"].get<bool>();
    EXPECT_EQ(vocrin_speech, speech_chunks);
    EXPECT_EQ(lumivar_test::split_lines(run.out),
              (std::vector<std::string>{
                  "speaker: " + turns[0].label + " at " + speaker_test::fixed(turns[0].bearing_degrees, 1) + " degrees",
                  "speaker: none",
                  "speaker: Unknown at " + speaker_test::fixed(turns[1].bearing_degrees, 1) + " degrees",
                  "speaker: none",
                  "summary: voice_chunks=" + std::to_string(voice_lines.size()) +
                      ", speech_chunks=" + std::to_string(speech_chunks) +
                      ", face_frames=" + std::to_string(frames.size()) +
                      ", chunks_without_picture=0, speaker_changes=4, bad_face_lines=0, bad_voice_lines=0, "
                      "out_dropped=0",
                  "speech_seconds: " + turns[0].label + "=" + speaker_test::fixed(given[0] * kChunkSeconds, 2) +
                      ", Unknown=" + speaker_test::fixed(given[1] * kChunkSeconds, 2) + ", unseen=0.00, nobody=" +
                      speaker_test::fixed((speech_chunks - given[0] - given[1]) * kChunkSeconds, 2)}))
        << run.err;
    EXPECT_EQ(run.err, "");
}

}  // namespace
