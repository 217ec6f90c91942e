// --liveness end to end on the simulated sensor: a real photo of the enrolled person as the colour frame, and depth
// pictures (tests/face/depth_scenes.h) of a live head or of an attack behind it.
#include <optional>

#include <gtest/gtest.h>

#include "depth_scenes.h"
#include "face_programs.h"
#include "program_output.h"
#include "sensor_frames.h"
#include "test_photos.h"

namespace {

using face_test::fs::path;
using face_test::Scene;
using face_test::SceneKind;

const std::string kLivenessStatus = ", liveness: enabled, liveness_min_relief: 12.000000";

class Liveness : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new face_test::ScratchDir();
        const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
        face_test::write_samples_from_photo(enrolled, scratch_->path / "samples", "veyra");
        frame_ = new cv::Mat(face_test::compose_frame(cv::Size(1920, 1080), {{enrolled, cv::Point(700, 240)}}));
        const std::vector<cv::Rect> faces = face_test::default_detections(*frame_);
        ASSERT_EQ(faces.size(), 1u);
        face_ = faces[0];
    }
    static void TearDownTestSuite() {
        delete frame_;
        delete scratch_;
    }

    // One colour frame per scene, named NAME.png, with its depth picture beside it unless the scene is absent.
    path scene_frames(const std::vector<std::pair<std::string, std::optional<Scene>>> &scenes) {
        const path dir = run_dir_ / ("scenes_" + std::to_string(++dirs_));
        for (const auto &[name, scene] : scenes) {
            face_test::write_image(dir / "colour" / (name + ".png"), *frame_);
            if (!scene) continue;
            Scene placed = *scene;
            placed.distance_mm = face_test::distance_for_face(face_, face_test::scene_camera(frame_->size()));
            face_test::write_image(dir / "depth" / (name + ".png"),
                                   face_test::make_depth_picture(frame_->size(), face_, placed));
        }
        face_test::fs::create_directories(dir / "depth");
        return dir;
    }

    face_test::RunResult run(const path &scenes, int frames, std::vector<std::string> extra,
                             std::map<std::string, std::string> env = {}) {
        face_test::RunRequest request;
        request.args = face_test::base_args(scratch_->path / "samples", run_dir_, frames);
        request.args.insert(request.args.end(), extra.begin(), extra.end());
        request.env = std::move(env);
        request.env.emplace("LUMIVAR_SIM_FRAMES", (scenes / "colour").string());
        request.env.emplace("LUMIVAR_SIM_DEPTH", (scenes / "depth").string());
        return face_test::run_program(request);
    }

    static Scene live(uint64_t seed) {
        Scene s;
        s.kind = SceneKind::LiveHead;
        s.seed = seed;
        return s;
    }
    static Scene attack(SceneKind kind, double yaw = 0, double pitch = 0, double radius = 300) {
        Scene s;
        s.kind = kind;
        s.yaw_deg = yaw;
        s.pitch_deg = pitch;
        s.bend_radius_mm = radius;
        return s;
    }

    // Depth on only part of the face (under the share the check needs), the rest of it missing.
    static Scene partly_measured(Scene scene, double missing_share) {
        scene.missing_share = missing_share;
        return scene;
    }

    static face_test::ScratchDir *scratch_;
    static cv::Mat *frame_;
    static cv::Rect face_;
    face_test::ScratchDir run_dir_;
    int dirs_ = 0;
};

face_test::ScratchDir *Liveness::scratch_ = nullptr;
cv::Mat *Liveness::frame_ = nullptr;
cv::Rect Liveness::face_;

TEST_F(Liveness, ALiveHeadPassesAndIsConfirmedAndTheLinesSayLivenessIsOn) {
    std::vector<std::pair<std::string, std::optional<Scene>>> scenes;
    for (int i = 1; i <= 6; ++i) scenes.push_back({"live_" + std::to_string(i), live(i)});
    const face_test::RunResult result = run(scene_frames(scenes), 6, {"--liveness", "--log-every", "1"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<std::string> lines = face_test::split_lines(result.out);
    const auto report = std::find(lines.begin(), lines.end(), "calibration_log: disabled");
    ASSERT_NE(report, lines.end());
    ASSERT_GE(lines.end() - report, 3);
    EXPECT_EQ(report[1], "liveness: enabled");
    EXPECT_EQ(report[2], "liveness_min_relief: 12.000000");
    EXPECT_EQ(face_test::lines_starting(result.out, "started depth stream").size(), 1u);

    const std::vector<std::string> status = face_test::lines_starting(result.out, "processed frames: ");
    ASSERT_EQ(status.size(), 6u) << result.out;
    for (const std::string &line : status) {
        EXPECT_EQ(face_test::field(line, "quality"), "accepted") << line;
        EXPECT_EQ(line.substr(line.size() - kLivenessStatus.size()), kLivenessStatus) << line;
    }
    EXPECT_EQ(face_test::field(status[3], "last_label"), "CandidateVeyra");
    EXPECT_EQ(face_test::field(status[4], "last_label"), "ConfirmedVeyra");
    const std::string summary = face_test::lines_starting(result.out, "summary: ").at(0);
    EXPECT_EQ(face_test::field(summary, "confirmed_veyra_predictions"), "2");
    EXPECT_EQ(face_test::field(summary, "quality_rejections"), "0");
    EXPECT_EQ(summary.substr(summary.find(", liveness_min_relief=")),
              ", liveness_min_relief=12.000000, flat_rejections=0, no_depth_rejections=0");
}

TEST_F(Liveness, EachAttackAndAFacePartlyWithoutDepthIsRefusedWithItsReasonAndNeverBecomesACandidate) {
    const path scenes = scene_frames({{"a_photo", attack(SceneKind::Photo)},
                                      {"b_photo_yaw60", attack(SceneKind::Photo, 60)},
                                      {"c_photo_pitch30", attack(SceneKind::Photo, 0, -30)},
                                      {"d_bent_300", attack(SceneKind::BentPhoto, 0, 0, 300)},
                                      {"e_screen", attack(SceneKind::Screen)},
                                      {"f_no_depth_file", std::nullopt},
                                      {"g_live_part_depth", partly_measured(live(7), 0.9)}});
    const std::vector<std::string> expected = {"flat", "flat", "flat", "flat", "no_depth", "no_depth", "no_depth"};
    const face_test::RunResult result = run(scenes, 7, {"--liveness", "--calibration-log", "--log-every", "1"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<std::string> faces = face_test::lines_starting(result.out, "calibration frame=");
    const std::vector<std::string> status = face_test::lines_starting(result.out, "processed frames: ");
    ASSERT_EQ(faces.size(), expected.size()) << result.out;
    ASSERT_EQ(status.size(), expected.size()) << result.out;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(face_test::field(faces[i], "quality"), expected[i]) << faces[i];
        EXPECT_EQ(face_test::field(faces[i], "label"), "Unknown") << faces[i];
        EXPECT_EQ(face_test::field(faces[i], "confidence"), "0.000000") << faces[i];
        EXPECT_EQ(face_test::field(faces[i], "confirmation_hits"), "0") << faces[i];
        EXPECT_EQ(face_test::field(status[i], "quality"), expected[i]) << status[i];
        // The calibration line keeps its fields: nothing after the matched sample.
        EXPECT_EQ(face_test::field(faces[i], "matched_sample"), "unknown") << faces[i];
    }
    const std::string summary = face_test::lines_starting(result.out, "summary: ").at(0);
    EXPECT_EQ(face_test::field(summary, "candidate_veyra_predictions"), "0");
    EXPECT_EQ(face_test::field(summary, "confirmed_veyra_predictions"), "0");
    EXPECT_EQ(face_test::field(summary, "quality_rejections"), "7");
    EXPECT_EQ(face_test::field(summary, "flat_rejections"), "4");
    EXPECT_EQ(face_test::field(summary, "no_depth_rejections"), "3");

    // The limit decides: a gently bent photo passes a limit below its relief (the option alone turns the check on),
    // and a limit no head reaches refuses a live one.
    const face_test::RunResult low = run(scene_frames({{"bent", attack(SceneKind::BentPhoto, 0, 0, 300)}}), 1,
                                         {"--liveness-min-relief", "3", "--calibration-log"});
    EXPECT_EQ(face_test::field(face_test::lines_starting(low.out, "calibration frame=").at(0), "quality"), "accepted")
        << low.out;
    EXPECT_EQ(face_test::lines_starting(low.out, "liveness_min_relief: 3.000000").size(), 1u);
    const face_test::RunResult high = run(scene_frames({{"live", live(3)}}), 1,
                                          {"--liveness", "--liveness-min-relief", "60", "--calibration-log"});
    EXPECT_EQ(face_test::field(face_test::lines_starting(high.out, "calibration frame=").at(0), "quality"), "flat");
    const face_test::RunResult negative = run(scenes, 1, {"--liveness-min-relief", "-1"});
    EXPECT_EQ(negative.status, 2);
}

TEST_F(Liveness, WithoutTheOptionDepthChangesNothing) {
    const path scenes = scene_frames({{"a_photo", attack(SceneKind::Photo)}, {"b_screen", attack(SceneKind::Screen)}});
    const std::vector<std::string> args{"--calibration-log", "--log-every", "1"};
    const face_test::RunResult with_depth = run(scenes, 2, args);
    face_test::RunRequest plain;
    plain.args = face_test::base_args(scratch_->path / "samples", run_dir_, 2);
    plain.args.insert(plain.args.end(), args.begin(), args.end());
    plain.env["LUMIVAR_SIM_FRAMES"] = (scenes / "colour").string();
    const face_test::RunResult without = face_test::run_program(plain);
    ASSERT_EQ(with_depth.status, 0);
    ASSERT_EQ(without.status, 0);
    std::vector<std::string> a = face_test::split_lines(with_depth.out), b = face_test::split_lines(without.out);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].rfind("summary: ", 0) == 0) continue;  // the fps differs
        EXPECT_EQ(a[i], b[i]);
    }
    EXPECT_EQ(with_depth.out.find("liveness"), std::string::npos);
    EXPECT_EQ(with_depth.out.find("depth"), std::string::npos);
    for (const std::string &face : face_test::lines_starting(with_depth.out, "calibration frame="))
        EXPECT_EQ(face_test::field(face, "quality"), "accepted");
}

TEST_F(Liveness, DepthFramesThatNeverComeEndTheRunLikeAColourTimeOut) {
    const path scenes = scene_frames({{"live", live(1)}});
    const face_test::RunResult result = run(scenes, 3, {"--liveness"}, {{"LUMIVAR_SIM_FAIL", "depth"}});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines = face_test::split_lines(result.out);
    const auto first = std::find(lines.begin(), lines.end(), "started RGB stream");
    ASSERT_NE(first, lines.end()) << result.out;
    lines.erase(lines.begin(), first);
    ASSERT_EQ(lines.size(), 7u) << result.out;
    EXPECT_EQ(lines[1], "started depth stream");
    EXPECT_EQ(lines[3], "error: timeout waiting for RGB and depth frames");
    EXPECT_EQ(lines[4], "stopped RGB stream");
    EXPECT_EQ(face_test::field(lines[5], "frames"), "0");
    EXPECT_EQ(face_test::field(lines[5], "last_quality"), "no_face");
    EXPECT_EQ(lines[6], "clean exit");
}

TEST_F(Liveness, EnrolmentSkipsAPhotoAndSavesALiveHead) {
    auto enrol = [&](const path &scenes, const std::string &samples, std::vector<std::string> extra) {
        face_test::RunRequest request;
        request.program = LUMIVAR_ENROLL_SIM_BIN;
        request.args = {"--samples-dir", (run_dir_ / samples).string(), "--count", "1", "--liveness"};
        request.args.insert(request.args.end(), extra.begin(), extra.end());
        request.env["LUMIVAR_SIM_FRAMES"] = (scenes / "colour").string();
        request.env["LUMIVAR_SIM_DEPTH"] = (scenes / "depth").string();
        return face_test::run_program(request);
    };
    const face_test::RunResult photo =
        enrol(scene_frames({{"a", attack(SceneKind::Photo)}, {"b", attack(SceneKind::Screen)}}), "photo", {});
    EXPECT_EQ(photo.status, 3) << photo.out;
    const std::vector<std::string> skipped = face_test::lines_starting(photo.out, "skipped ");
    ASSERT_EQ(skipped.size(), 2u) << photo.out;
    EXPECT_EQ(face_test::field(skipped[0], "reason"), "flat");
    EXPECT_NE(face_test::field(skipped[0], "relief"), "<missing relief>");
    EXPECT_EQ(face_test::field(skipped[1], "reason"), "no_depth");
    const std::string summary = face_test::lines_starting(photo.out, "summary: ").at(0);
    EXPECT_EQ(summary.substr(summary.find(", unreadable=")), ", unreadable=0, flat=1, no_depth=1");
    EXPECT_FALSE(face_test::fs::exists(run_dir_ / "photo/enrol"));

    const face_test::RunResult person = enrol(scene_frames({{"a", live(5)}}), "person", {});
    EXPECT_EQ(person.status, 0) << person.out;
    EXPECT_EQ(face_test::lines_starting(person.out, "saved frame=1").size(), 1u) << person.out;
    EXPECT_EQ(face_test::lines_starting(person.out, "liveness: enabled").size(), 1u);

    const face_test::RunResult photos = enrol(run_dir_.path, "from_images", {"--images", run_dir_.path.string()});
    EXPECT_EQ(photos.status, 2);
}

}  // namespace
