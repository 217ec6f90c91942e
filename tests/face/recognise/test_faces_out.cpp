// lumivar_face --faces-out: the line per frame, read back as lumivar_speaker reads it; a path refused before the
// sensor opens; a FIFO reader that takes nothing never holds the loop up.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "face_programs.h"
#include "number_text.h"
#include "recognise/face_lines.h"
#include "program_output.h"
#include "sensor_frames.h"
#include "test_photos.h"

namespace {

using face_test::fs::path;

class FacesOut : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new face_test::ScratchDir();
        const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
        face_test::write_samples_from_photo(enrolled, scratch_->path / "samples", "veyra");
        const cv::Mat frame = face_test::compose_frame(
            cv::Size(960, 540), {{enrolled(cv::Rect(0, 0, enrolled.cols, 460)), cv::Point(420, 40)}});
        face_test::write_image(scratch_->path / "frames/frame_001.png", frame);
        face_test::write_image(scratch_->path / "frames/frame_002.png", face_test::clean_background(960, 540));
        face_test::write_image(scratch_->path / "small/frame_001.png", face_test::clean_background(320, 180));
    }
    static void TearDownTestSuite() { delete scratch_; }

    face_test::RunRequest request(const std::string &frames, int count, const std::string &faces_out) {
        face_test::RunRequest r;
        r.args = face_test::base_args(scratch_->path / "samples", run_dir_, count);
        r.args.insert(r.args.end(), {"--faces-out", faces_out});
        r.env = {{"LUMIVAR_SIM_FRAMES", (scratch_->path / frames).string()}, {"LUMIVAR_SIM_LOOP", "1"}};
        return r;
    }

    static face_test::ScratchDir *scratch_;
    face_test::ScratchDir run_dir_;
};

face_test::ScratchDir *FacesOut::scratch_ = nullptr;

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(FacesOut, EachFrameIsOneLineWithTheFacesBearingAndDistanceThatLumivarSpeakerReads) {
    const path lines_path = run_dir_ / "faces.jsonl";
    const double before = unix_now();
    const face_test::RunResult result = face_test::run_program(request("frames", 3, lines_path.string()));
    const double after = unix_now();
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string summary = face_test::lines_starting(result.out, "summary: ").at(0);
    EXPECT_EQ(summary.substr(summary.rfind(", ")), ", faces_out_dropped=0");

    const std::vector<std::string> lines = face_test::split_lines(face_test::read_file(lines_path));
    ASSERT_EQ(lines.size(), 3u);
    // Rounded to the millisecond and the hundredth of a degree, and printed so: here and on a row of faces
    // across the frame, whose bearings and distances take many values.
    for (const std::string &line : lines) EXPECT_FALSE(test_text::has_long_fraction(line)) << line;
    std::vector<FaceOutcome> row(40);
    for (size_t i = 0; i < row.size(); ++i) row[i].clipped = cv::Rect(static_cast<int>(i) * 23, 100, 61 + static_cast<int>(i), 61 + static_cast<int>(i));
    const std::string row_line = faces_line(1765300000.1234, 1, row, ColourCamera{1081.37, 1081.37, 959.5, 539.5}, false);
    EXPECT_FALSE(test_text::has_long_fraction(row_line)) << row_line;
    const nlohmann::json first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["frame"], 1);
    EXPECT_GE(first["time"].get<double>(), std::floor(before * 1000) / 1000);
    EXPECT_LE(first["time"].get<double>(), after);
    EXPECT_LT(first["time"].get<double>(), nlohmann::json::parse(lines[2])["time"].get<double>());
    ASSERT_EQ(first["faces"].size(), 1u) << lines[0];
    const nlohmann::json &face = first["faces"][0];
    const std::string status = face_test::lines_starting(result.out, "processed frames: 1, ").at(0);
    EXPECT_EQ(face["label"], face_test::field(status, "last_label"));
    EXPECT_NEAR(face["confidence"].get<double>(), std::stod(face_test::field(status, "confidence")), 0.0006);
    EXPECT_EQ(face["quality"], "accepted");
    EXPECT_FALSE(face.contains("live"));
    // The stand-in reports the factory focal length scaled to its 960-pixel frames: 540.685, centre 479.5.
    const double u = face["x"].get<int>() + (face["width"].get<int>() - 1) / 2.0;
    EXPECT_NEAR(face["bearing_degrees"].get<double>(), std::atan((u - 479.5) / 540.685) * 180 / M_PI, 0.006);
    EXPECT_GT(face["bearing_degrees"].get<double>(), 5.0);  // pasted right of the centre
    EXPECT_NEAR(face["distance_m"].get<double>(), 0.15 * 540.685 / face["width"].get<int>(), 0.0006);
    EXPECT_EQ(nlohmann::json::parse(lines[1])["faces"].size(), 0u);
    EXPECT_EQ(nlohmann::json::parse(lines[2])["frame"], 3);

    // The speaker reads these lines: speech from the face's bearing is the face's.
    std::string voice;
    const double t = first["time"].get<double>();
    for (int i = 0; i < 3; ++i) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "{\"time\":%.3f,\"chunk\":%d,\"angle_degrees\":%.2f,\"confidence\":0.9,\"low_confidence\":false,"
                      "\"speech\":true,\"rms\":0.1}\n",
                      t + i * 0.064, i + 1, face["bearing_degrees"].get<double>());
        voice += line;
    }
    face_test::write_file(run_dir_ / "voice.jsonl", voice);
    face_test::RunRequest speaker;
    speaker.program = LUMIVAR_SPEAKER_BIN;
    // The frame with the face alone: the frames come faster than the chunks, so the nearest could be another.
    face_test::write_file(run_dir_ / "face_frame.jsonl", lines[0] + "\n");
    speaker.args = {"--faces", (run_dir_ / "face_frame.jsonl").string(), "--voice", (run_dir_ / "voice.jsonl").string()};
    const face_test::RunResult heard = face_test::run_program(speaker);
    EXPECT_EQ(heard.status, 0) << heard.err;
    char expected[200];
    std::snprintf(expected, sizeof expected, "speaker: %s at %.1f degrees\nsummary: voice_chunks=3, speech_chunks=3, "
                  "face_frames=1, chunks_without_picture=0, speaker_changes=1, bad_face_lines=0",
                  face["label"].get<std::string>().c_str(), face["bearing_degrees"].get<double>());
    EXPECT_EQ(heard.out.rfind(expected, 0), 0u) << heard.out << heard.err;
}

TEST_F(FacesOut, DirectoryIsRefusedBeforeTheSensorAndAReaderThatTakesNothingOnlyLosesLines) {
    const face_test::RunResult refused = face_test::run_program(request("frames", 3, run_dir_.path.string()));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(face_test::split_lines(refused.err),
              std::vector<std::string>{"--faces-out cannot be written: " + run_dir_.path.string() + ": Is a directory"});
    EXPECT_EQ(refused.out.rfind("Usage: ", 0), 0u);
    EXPECT_FALSE(face_test::fs::exists(run_dir_ / "model/face.yml"));

    // A reader with the smallest pipe that never reads while 300 frames go by.
    const path fifo = run_dir_ / "faces.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    const face_test::RunResult result = face_test::run_program(request("small", 300, fifo.string()));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string summary = face_test::lines_starting(result.out, "summary: ").at(0);
    EXPECT_EQ(face_test::field(summary, "frames"), "300");
    const int dropped = std::stoi(face_test::field(summary, "faces_out_dropped"));
    std::string taken;
    char block[8192];
    for (ssize_t got; (got = ::read(reader, block, sizeof block)) > 0;) taken.append(block, static_cast<size_t>(got));
    ::close(reader);
    const std::vector<std::string> lines = face_test::split_lines(taken);
    EXPECT_GT(dropped, 100);
    EXPECT_EQ(static_cast<int>(lines.size()) + dropped, 300);
    EXPECT_EQ(taken.back(), '\n');
    for (const std::string &line : lines) EXPECT_EQ(nlohmann::json::parse(line)["faces"].size(), 0u) << line;
    EXPECT_EQ(nlohmann::json::parse(lines.at(0))["frame"], 1);
}

}  // namespace
