// The live loop as a user runs it on the simulated sensor: start-up statuses, status and summary lines,
// every way the loop ends, pixel layouts, headless runs and real photos; plus the per-frame steps in-process.
#include <algorithm>
#include <set>

#include <gtest/gtest.h>
#include <opencv2/face.hpp>

#include "core/frame_steps.h"
#include "program_output.h"
#include "recognise/recognition_loop.h"
#include "face_programs.h"
#include "sensor_frames.h"
#include "test_photos.h"
#include "core/training.h"

namespace {

using face_test::fs::path;

const std::string kEmptySummary =
    "summary: frames=0, fps=0.000000, frames_with_faces=0, max_faces_observed=0, unknown_predictions=0, "
    "candidate_veyra_predictions=0, confirmed_veyra_predictions=0, quality_rejections=0, last_label=Unknown, "
    "last_confidence=0.000000, last_quality=no_face, confirmation_hits=0, confirmation_window=0, "
    "best_profile_stage=unknown, matched_sample=unknown";

// The lines the loop writes, from the first sensor line on (the start-up report comes before).
std::vector<std::string> loop_lines(const std::string &out) {
    std::vector<std::string> lines = face_test::split_lines(out);
    const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string &l) {
        return l.rfind("error: ", 0) == 0 || l.rfind("device serial: ", 0) == 0;
    });
    return std::vector<std::string>(first, lines.end());
}

std::string without_fps(std::string summary) {
    const size_t at = summary.find(", fps=");
    return at == std::string::npos ? summary : summary.erase(at, summary.find(", ", at + 2) - at);
}

// Samples of the enrolled person and small frames (960 x 540) shared by the tests of this file.
class LiveLoop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new face_test::ScratchDir();
        const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
        face_test::write_samples_from_photo(enrolled, samples(), "veyra");
        face_frame_ = new cv::Mat(face_test::compose_frame(
            cv::Size(960, 540), {{enrolled(cv::Rect(0, 0, enrolled.cols, 460)), cv::Point(220, 40)}}));
        empty_frame_ = new cv::Mat(face_test::clean_background(960, 540));
    }
    static void TearDownTestSuite() {
        delete face_frame_;
        delete empty_frame_;
        delete scratch_;
    }
    static path samples() { return scratch_->path / "samples"; }

    // A directory of frames: 'f' for the enrolled person's frame, '.' for the empty background,
    // 's' for a small empty frame (320 x 180) where only the count of frames matters.
    path frames_dir(const std::string &pattern) {
        const path dir = run_dir_ / ("frames_" + std::to_string(++dirs_));
        face_test::fs::create_directories(dir);
        for (size_t i = 0; i < pattern.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%03zu.png", i + 1);
            if (pattern[i] == 's') {
                face_test::write_image(dir / name, (*empty_frame_)(cv::Rect(0, 0, 320, 180)));
            } else {
                face_test::write_image(dir / name, pattern[i] == 'f' ? *face_frame_ : *empty_frame_);
            }
        }
        return dir;
    }

    face_test::RunResult run(const path &frames, int frame_limit, std::vector<std::string> extra = {},
                             std::map<std::string, std::string> env = {}) {
        face_test::RunRequest request;
        request.args = face_test::base_args(samples(), run_dir_, frame_limit);
        request.args.insert(request.args.end(), extra.begin(), extra.end());
        request.env = std::move(env);
        request.env.emplace("LUMIVAR_SIM_FRAMES", frames.string());
        return face_test::run_program(request);
    }

    static face_test::ScratchDir *scratch_;
    static cv::Mat *face_frame_;
    static cv::Mat *empty_frame_;
    face_test::ScratchDir run_dir_;
    int dirs_ = 0;
};

face_test::ScratchDir *LiveLoop::scratch_ = nullptr;
cv::Mat *LiveLoop::face_frame_ = nullptr;
cv::Mat *LiveLoop::empty_frame_ = nullptr;

TEST_F(LiveLoop, SensorThatIsMissingFailsToOpenOrFailsToStartEndsWithItsStatus) {
    const path frames = frames_dir("f");
    const path damaged_video = run_dir_ / "damaged.mp4";
    face_test::write_file(damaged_video, std::string(20000, '\x5a'));
    struct Case {
        std::map<std::string, std::string> env;
        int status;
        std::string line;
    };
    const Case cases[] = {
        {{{"LUMIVAR_SIM_FRAMES", ""}}, 5, "error: no Kinect v2 device connected"},
        {{{"LUMIVAR_SIM_FAIL", "open"}}, 6, "error: failed to open Kinect v2 device"},
        {{{"LUMIVAR_SIM_FAIL", "start"}}, 7, "error: failed to start Kinect RGB stream"},
        // The status is the program's own in the sanitised build too: nothing leaks on the way.
        {{{"LUMIVAR_SIM_FRAMES", damaged_video.string()}}, 6, "error: failed to open Kinect v2 device"},
    };
    for (const Case &c : cases) {
        face_test::RunRequest request;
        request.args = face_test::base_args(samples(), run_dir_, 3);
        request.env = c.env;
        request.env.emplace("LUMIVAR_SIM_FRAMES", frames.string());
        const face_test::RunResult result = face_test::run_program(request);
        EXPECT_EQ(result.status, c.status) << result.out << result.err;
        EXPECT_EQ(loop_lines(result.out), std::vector<std::string>{c.line}) << result.out;
        // Without frames the simulated sensor says on standard error what it is and how it is fed.
        EXPECT_EQ(result.err.find("[SimFreenect2] this program was built on the simulated sensor") != std::string::npos &&
                      result.err.find("LUMIVAR_SIM_FRAMES") != std::string::npos,
                  c.status == 5)
            << result.err;
        // The model written before the sensor was touched stays in place.
        EXPECT_TRUE(face_test::fs::exists(run_dir_ / "model/face.yml"));
        EXPECT_EQ(face_test::read_file(run_dir_ / "model/labels.txt"), "1 Veyra\n");
    }
}

TEST_F(LiveLoop, OneFrameRunWritesTheSensorLinesOneStatusLineAndTheSummaryHeadless) {
    const face_test::RunResult result = run(frames_dir("ff"), 1);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<std::string> lines = loop_lines(result.out);
    ASSERT_EQ(lines.size(), 8u) << result.out;
    EXPECT_EQ(lines[0], "device serial: 000000000000");
    EXPECT_EQ(lines[1], "device firmware: 0.0.0.0-simulated");
    EXPECT_EQ(lines[2], "started RGB stream");
    EXPECT_EQ(lines[3], "warning: no display available; running without the preview window");
    EXPECT_EQ(lines[4].rfind("processed frames: 1, visible faces: 1, unknown_predictions: 0, "
                             "candidate_veyra_predictions: 1, confirmed_veyra_predictions: 0, quality_rejections: 0, "
                             "last_label: CandidateVeyra, confidence: ",
                             0),
              0u)
        << lines[4];
    EXPECT_NE(lines[4].find(", quality: accepted, confirmation_hits: 1, confirmation_window: 1, best_profile_stage: flat, "
                            "matched_sample: veyra_"),
              std::string::npos)
        << lines[4];
    EXPECT_EQ(lines[5], "stopped RGB stream");
    EXPECT_EQ(face_test::field(lines[6], "frames"), "1");
    EXPECT_EQ(face_test::field(lines[6], "frames_with_faces"), "1");
    EXPECT_EQ(face_test::field(lines[6], "max_faces_observed"), "1");
    EXPECT_EQ(face_test::field(lines[6], "candidate_veyra_predictions"), "1");
    EXPECT_EQ(face_test::field(lines[6], "last_confidence"), face_test::field(lines[4], "confidence"));
    EXPECT_EQ(lines[7], "clean exit");
    // The library's informational lines stay off standard output.
    EXPECT_EQ(result.out.find("[Info]"), std::string::npos);
}

TEST_F(LiveLoop, StatusLinesComeAtFrameOneAndEveryLogEveryFrames) {
    const path one_empty_frame = frames_dir("s");
    const std::map<std::string, std::string> looping{{"LUMIVAR_SIM_LOOP", "1"}};
    const face_test::RunResult every30 = run(one_empty_frame, 61, {}, looping);
    ASSERT_EQ(every30.status, 0) << every30.err;
    std::vector<std::string> numbers;
    for (const std::string &line : face_test::lines_starting(every30.out, "processed frames: "))
        numbers.push_back(face_test::field(line, "processed frames"));
    EXPECT_EQ(numbers, (std::vector<std::string>{"1", "30", "60"}));
    EXPECT_EQ(face_test::field(face_test::lines_starting(every30.out, "summary: ").at(0), "frames"), "61");

    const face_test::RunResult every1 = run(one_empty_frame, 4, {"--log-every", "1"}, looping);
    EXPECT_EQ(face_test::lines_starting(every1.out, "processed frames: ").size(), 4u);
    const face_test::RunResult every2 = run(one_empty_frame, 5, {"--log-every", "2"}, looping);
    numbers.clear();
    for (const std::string &line : face_test::lines_starting(every2.out, "processed frames: "))
        numbers.push_back(face_test::field(line, "processed frames"));
    EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "4"}));
}

TEST_F(LiveLoop, TimeOutOrUnsupportedFirstFrameShutsDownWithTheInitialValues) {
    const path empty_dir = frames_dir("");
    const face_test::RunResult timeout = run(empty_dir, 5);
    EXPECT_EQ(timeout.status, 0) << timeout.err;
    EXPECT_EQ(loop_lines(timeout.out),
              (std::vector<std::string>{"device serial: 000000000000", "device firmware: 0.0.0.0-simulated",
                                        "started RGB stream",
                                        "warning: no display available; running without the preview window",
                                        "error: timeout waiting for RGB frame", "stopped RGB stream", kEmptySummary,
                                        "clean exit"}));

    // The unusable frame is released before the shutdown (a leak would fail the sanitised run).
    const face_test::RunResult unsupported = run(frames_dir("ff"), 5, {}, {{"LUMIVAR_SIM_FORMAT", "bad"}});
    EXPECT_EQ(unsupported.status, 0) << unsupported.err;
    std::vector<std::string> lines = loop_lines(unsupported.out);
    ASSERT_EQ(lines.size(), 8u) << unsupported.out;
    EXPECT_EQ(lines[4], "error: unsupported RGB frame format");
    EXPECT_EQ(lines[6], kEmptySummary);
    EXPECT_EQ(lines[7], "clean exit");
}

TEST_F(LiveLoop, FramesWithoutFacesKeepTheWindowAndLastValuesAndATimeOutKeepsTheCounts) {
    const face_test::RunResult result = run(frames_dir("fff.."), 9, {"--log-every", "1"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> status = face_test::lines_starting(result.out, "processed frames: ");
    ASSERT_EQ(status.size(), 5u) << result.out;
    for (const char *key : {"last_label", "confidence", "quality", "confirmation_hits", "confirmation_window",
                            "matched_sample", "candidate_veyra_predictions"}) {
        EXPECT_EQ(face_test::field(status[3], key), face_test::field(status[2], key)) << key;
        EXPECT_EQ(face_test::field(status[4], key), face_test::field(status[2], key)) << key;
    }
    EXPECT_EQ(face_test::field(status[2], "confirmation_window"), "3");
    EXPECT_EQ(face_test::field(status[4], "visible faces"), "0");
    const std::vector<std::string> lines = loop_lines(result.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 4], "error: timeout waiting for RGB frame");
    const std::string summary = lines[lines.size() - 2];
    EXPECT_EQ(face_test::field(summary, "frames"), "5");
    EXPECT_EQ(face_test::field(summary, "frames_with_faces"), "3");
    EXPECT_EQ(face_test::field(summary, "confirmation_window"), "3");
}

TEST_F(LiveLoop, WaitsForASlowSensorInsteadOfTimingOutEarly) {
    // Two seconds between frames, well inside the 10-second wait.
    const face_test::RunResult result = run(frames_dir(".."), 2, {}, {{"LUMIVAR_SIM_FPS", "0.5"}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("error: timeout"), std::string::npos) << result.out;
    EXPECT_EQ(face_test::field(face_test::lines_starting(result.out, "summary: ").at(0), "frames"), "2");
}

TEST_F(LiveLoop, RgbxFramesGiveExactlyWhatBgrxFramesGive) {
    const path frames = frames_dir("ff.f");
    const std::vector<std::string> args{"--log-every", "1", "--calibration-log"};
    const face_test::RunResult bgrx = run(frames, 4, args, {{"LUMIVAR_SIM_FORMAT", "bgrx"}});
    const face_test::RunResult rgbx = run(frames, 4, args, {{"LUMIVAR_SIM_FORMAT", "rgbx"}});
    ASSERT_EQ(bgrx.status, 0);
    ASSERT_EQ(rgbx.status, 0);
    std::vector<std::string> a = loop_lines(bgrx.out), b = loop_lines(rgbx.out);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GE(face_test::lines_starting(bgrx.out, "calibration frame=").size(), 3u);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(without_fps(a[i]), without_fps(b[i]));
}

TEST_F(LiveLoop, UnreachableDisplayRunsWithoutThePreviewAndUserLoggerLevelWins) {
    const face_test::RunResult result =
        run(frames_dir("f"), 1, {}, {{"DISPLAY", ":987"}, {"LIBFREENECT2_LOGGER_LEVEL", "info"}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(face_test::lines_starting(result.out, "warning: no display available").size(), 1u);
    EXPECT_EQ(face_test::lines_starting(result.out, "summary: frames=1").size(), 1u);
    EXPECT_NE(result.out.find("[Info] "), std::string::npos);

    // Qt's display-less platform needs no X server and gets no warning; Qt's X platform named outright still
    // needs one, and must not reach Qt (which would end the process) without it.
    for (const char *platform : {"offscreen", "xcb"}) {
        const face_test::RunResult named = run(frames_dir("f"), 1, {}, {{"QT_QPA_PLATFORM", platform}});
        EXPECT_EQ(named.status, 0) << platform << named.err;
        EXPECT_EQ(face_test::lines_starting(named.out, "warning: no display available").size(),
                  std::string(platform) == "xcb" ? 1u : 0u)
            << platform << named.out;
        EXPECT_EQ(face_test::lines_starting(named.out, "summary: frames=1").size(), 1u) << platform << named.out;
    }
}

TEST_F(LiveLoop, LibraryInformationStaysOffStandardOutputUnlessTheLevelNamesOneTheLibraryKnows) {
    const path frames = frames_dir("s");
    for (const auto &[level, shown] : std::vector<std::pair<std::string, bool>>{
             {"", false}, {"verbose", false}, {"INFO", true}}) {
        const face_test::RunResult result = run(frames, 1, {}, {{"LIBFREENECT2_LOGGER_LEVEL", level}});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.find("[Info] ") != std::string::npos, shown) << "level '" << level << "'\n" << result.out;
    }
}

TEST_F(LiveLoop, OpensTheSensorWithTheCpuPipelineUnlessTheUserNamesOne) {
    const path frames = frames_dir("s");
    const std::string mine = "openDevice: CpuPacketPipeline, given by the application\n";
    const std::string library = "openDevice: CpuPacketPipeline, the library's default\n";
    // Unset or not a pipeline name: the library's default could be one that needs a display.
    for (const auto &[pipeline, expected] : std::vector<std::pair<const char *, std::string>>{
             {nullptr, mine}, {"opengl", mine}, {"gl", library}}) {
        const path report = run_dir_ / ("report_" + std::string(pipeline ? pipeline : "unset"));
        std::map<std::string, std::string> env{{"LUMIVAR_SIM_REPORT", report.string()}};
        if (pipeline) env["LIBFREENECT2_PIPELINE"] = pipeline;
        const face_test::RunResult result = run(frames, 1, {}, env);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(face_test::read_file(report), expected) << (pipeline ? pipeline : "unset");
    }
}

TEST_F(LiveLoop, FramesTooSmallToSearchFindNoFacesAndAnOpenCvFailureStillShutsDown) {
    // A 1-pixel-wide frame halves to nothing, and so does a whole frame at --scale 0.0004.
    const path narrow = run_dir_ / "narrow";
    face_test::write_image(narrow / "frame_001.png", cv::Mat(40, 1, CV_8UC3, cv::Scalar(90, 120, 150)));
    const face_test::RunResult tiny = run(narrow, 1);
    const face_test::RunResult scaled = run(frames_dir("f"), 1, {"--scale", "0.0004"});
    for (const face_test::RunResult *result : {&tiny, &scaled}) {
        ASSERT_EQ(result->status, 0) << result->out << result->err;
        const std::vector<std::string> lines = loop_lines(result->out);
        ASSERT_EQ(lines.size(), 8u) << result->out;
        EXPECT_EQ(face_test::field(lines[4], "visible faces"), "0");
        EXPECT_EQ(face_test::field(lines[6], "frames"), "1");
        EXPECT_EQ(lines[7], "clean exit");
    }

    // Whatever OpenCV throws on a frame (here: a detector with no cascade) ends the run like an
    // unusable frame: error line, shutdown lines, status 0.
    std::vector<TrainingSample> samples;
    ASSERT_TRUE(load_veyra_samples(LiveLoop::samples().string(), samples));
    const cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer = train_recognizer(assemble_training_set(samples));
    setenv("LUMIVAR_SIM_FRAMES", frames_dir("f").c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    Logger logger;
    logger.file.open(run_dir_ / "loop.log");
    cv::CascadeClassifier no_cascade;
    const int status = run_recognition_loop(Options(), logger, *recognizer, samples, no_cascade);
    unsetenv("LUMIVAR_SIM_FRAMES");
    logger.file.close();
    EXPECT_EQ(status, 0);
    const std::vector<std::string> lines = loop_lines(face_test::read_file(run_dir_ / "loop.log"));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], "error: failed to process RGB frame: !empty() in detectMultiScale");
    EXPECT_EQ(lines[5], "stopped RGB stream");
    EXPECT_EQ(face_test::field(lines[6], "frames"), "1");
    EXPECT_EQ(lines[7], "clean exit");
}

// --- Real photos of one person and of others (fetched by scripts/fetch_test_faces.sh) ---

// Detector-box crops of each photo, 160 x 160 grey, as the loop itself would cut them.
int enrol_from_photos(const std::vector<path> &photos, const path &dir) {
    int count = 0;
    for (const path &photo : photos) {
        const cv::Mat grey = cv::imread(photo.string(), cv::IMREAD_GRAYSCALE);
        const cv::Rect face = face_test::largest_face(grey, 100);
        if (face.empty()) continue;
        cv::Mat crop;
        cv::resize(grey(face), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
        face_test::write_image(dir / (photo.stem().string() + ".png"), crop);
        ++count;
    }
    return count;
}

// One 1280 x 720 frame per photo, the photo at native size (or reduced to fit) on a textured background.
void write_frames(const std::vector<path> &photos, const path &dir) {
    int index = 0;
    for (const path &photo : photos) {
        cv::Mat picture = face_test::read_photo(photo.string());
        const double fit = std::min({1.0, 640.0 / picture.rows, 800.0 / picture.cols});
        if (fit < 1.0) cv::resize(picture, picture, cv::Size(), fit, fit, cv::INTER_AREA);  // never enlarge: blur
        const int top = std::min(40 + 20 * (index % 2), 720 - picture.rows);
        const cv::Mat frame =
            face_test::compose_frame(cv::Size(1280, 720), {{picture, cv::Point(300 + 40 * (index % 3), top)}}, 20);
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.jpg", ++index);
        face_test::write_image(dir / name, frame);
    }
}

TEST(LiveLoopRealPhotos, ConfirmsTheEnrolledPersonAndNeverNamesOthers) {
    const path media_dir = face_test::media_dir();
    if (!face_test::fs::exists(media_dir / "franck_01829.jpg"))
        GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const std::vector<path> stills = face_test::enrolled_stills();
    ASSERT_GE(stills.size(), 10u);
    // Every other still enrols; the rest are the probes.
    std::vector<path> enrol, probes;
    for (size_t i = 0; i < stills.size(); ++i) (i % 2 == 0 ? enrol : probes).push_back(stills[i]);
    std::vector<path> others;
    for (const char *name : {"audrey.jpg", "cage.jpg", "SeanConnery.jpg", "ironman.jpg", "joconde.jpg"})
        if (face_test::fs::exists(media_dir / name)) others.push_back(media_dir / name);
    ASSERT_GE(others.size(), 3u);

    face_test::ScratchDir scratch;
    ASSERT_GE(enrol_from_photos(enrol, scratch / "samples"), 5);
    // Probes twice over: the window needs five strict hits before it confirms.
    std::vector<path> probe_run = probes;
    probe_run.insert(probe_run.end(), probes.begin(), probes.end());
    write_frames(probe_run, scratch / "enrolled");
    write_frames(others, scratch / "others");

    auto run_on = [&](const std::string &frames, int count) {
        face_test::RunRequest request;
        request.args = face_test::base_args(scratch / "samples", scratch, count);
        request.args.push_back("--calibration-log");
        // These webcam stills are softer than the default sharpness gate expects at this face size.
        request.args.insert(request.args.end(), {"--quality-min-sharpness", "20"});
        request.env["LUMIVAR_SIM_FRAMES"] = (scratch / frames).string();
        request.timeout_seconds = 600;
        return face_test::run_program(request);
    };
    const face_test::RunResult enrolled = run_on("enrolled", static_cast<int>(probe_run.size()));
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    const std::string summary = face_test::lines_starting(enrolled.out, "summary: ").at(0);
    EXPECT_GE(std::stoi(face_test::field(summary, "confirmed_veyra_predictions")), 1) << enrolled.out;
    EXPECT_GE(std::stoi(face_test::field(summary, "candidate_veyra_predictions")) +
                  std::stoi(face_test::field(summary, "confirmed_veyra_predictions")),
              static_cast<int>(probe_run.size()) * 3 / 4)
        << enrolled.out;

    const face_test::RunResult strangers = run_on("others", static_cast<int>(others.size()));
    ASSERT_EQ(strangers.status, 0) << strangers.err;
    const std::vector<std::string> faces = face_test::lines_starting(strangers.out, "calibration frame=");
    EXPECT_GE(faces.size(), others.size() - 1) << strangers.out;
    for (const std::string &face : faces) EXPECT_EQ(face_test::field(face, "label"), "Unknown") << face;
}

// The bundled demo: lumivar_enroll on frames of the enrolled person, then frames of her alone, the other
// person alone, then both.
TEST(LiveLoopDemo, TheEnrolledPersonIsConfirmedAndTheOtherStaysUnknown) {
    face_test::ScratchDir scratch;
    face_test::RunRequest make;
    make.program = "/usr/bin/python3";
    make.args = {std::string(LUMIVAR_SOURCE_DIR) + "/scripts/make_face_demo.py", scratch.path.string(),
                 "--per-segment", "8", "--enrol-frames", "16"};
    const face_test::RunResult made = face_test::run_program(make);
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    face_test::RunRequest enrol;
    enrol.program = LUMIVAR_ENROLL_SIM_BIN;
    enrol.args = {"--samples-dir", (scratch / "samples").string(), "--count", "12"};
    enrol.env["LUMIVAR_SIM_FRAMES"] = (scratch / "enrol_frames").string();
    enrol.timeout_seconds = 600;
    const face_test::RunResult enrolled = face_test::run_program(enrol);
    ASSERT_EQ(enrolled.status, 0) << enrolled.out << enrolled.err;

    face_test::RunRequest request;
    request.args = face_test::base_args(scratch / "samples", scratch, 24);
    request.args.insert(request.args.end(), {"--log-every", "1"});
    request.env["LUMIVAR_SIM_FRAMES"] = (scratch / "frames").string();
    request.timeout_seconds = 600;
    const face_test::RunResult result = face_test::run_program(request);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> status = face_test::lines_starting(result.out, "processed frames: ");
    ASSERT_EQ(status.size(), 24u) << result.out;
    int confirmed_alone = 0;
    for (int frame = 1; frame <= 8; ++frame)
        confirmed_alone += face_test::field(status[frame - 1], "last_label") == "ConfirmedVeyra";
    EXPECT_GE(confirmed_alone, 3) << result.out;
    for (int frame = 9; frame <= 16; ++frame) {
        EXPECT_EQ(face_test::field(status[frame - 1], "last_label"), "Unknown") << status[frame - 1];
        EXPECT_EQ(face_test::field(status[frame - 1], "visible faces"), "1") << status[frame - 1];
    }
}

// --- The per-frame steps in-process ---

cv::Mat wrap_with_noise_in_fourth_byte(const cv::Mat &bgr, bool rgbx) {
    cv::Mat four;
    cv::cvtColor(bgr, four, rgbx ? cv::COLOR_BGR2RGBA : cv::COLOR_BGR2BGRA);
    cv::Mat noise(bgr.size(), CV_8UC1);
    cv::randu(noise, 0, 256);
    const int to_fourth[] = {0, 3};
    cv::mixChannels(&noise, 1, &four, 1, to_fourth, 1);
    return four;
}

TEST(FrameSteps, ConversionIgnoresTheFourthByteAndRgbxMatchesBgrx) {
    const cv::Mat picture = face_test::textured_background(64, 48, 3);
    const FrameImages from_bgrx = convert_frame(wrap_with_noise_in_fourth_byte(picture, false), false);
    const FrameImages from_rgbx = convert_frame(wrap_with_noise_in_fourth_byte(picture, true), true);
    EXPECT_EQ(cv::norm(from_bgrx.colour, picture, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(from_rgbx.colour, picture, cv::NORM_INF), 0.0);
    cv::Mat grey;
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(from_bgrx.grey, grey, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(from_rgbx.grey, grey, cv::NORM_INF), 0.0);
}

TEST(FrameSteps, ReductionAndMappingBackTruncateLikeTheDetectorExpects) {
    EXPECT_EQ(detection_min_side(30, 0.5), 15);
    EXPECT_EQ(detection_min_side(45, 0.3), 13);
    EXPECT_EQ(detection_min_side(1, 0.5), 1);
    EXPECT_EQ(map_to_frame(cv::Rect(10, 7, 41, 41), 0.5), cv::Rect(20, 14, 82, 82));
    EXPECT_EQ(map_to_frame(cv::Rect(10, 1, 20, 3), 0.3), cv::Rect(33, 3, 66, 10));

    cv::Mat grey = face_test::textured_background(200, 100, 5);
    cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
    const cv::Mat original = grey.clone();
    const cv::Mat half = detection_image(grey, 0.5);
    EXPECT_EQ(half.size(), cv::Size(100, 50));
    EXPECT_EQ(cv::norm(grey, original, cv::NORM_INF), 0.0) << "a reduced copy leaves the grey image alone";
    double lo = 0, hi = 0;
    cv::minMaxLoc(half, &lo, &hi);
    EXPECT_EQ(hi - lo, 255.0) << "equalised";
    const cv::Mat full = detection_image(grey, 1.0);
    EXPECT_EQ(full.data, grey.data) << "at scale 1 the grey image itself is equalised";
}

// A frame with two detections: one wholly outside the picture, one hanging over its right edge.
TEST(FrameSteps, DetectionsOutsideTheFrameAreCountedButOnlyTheVisiblePartIsMeasuredAndDrawn) {
    const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
    cv::Mat frame = face_test::textured_background(640, 480, 9);
    cv::Mat face;
    cv::resize(enrolled(cv::Rect(100, 60, 300, 300)), face, cv::Size(240, 240), 0, 0, cv::INTER_AREA);
    face.copyTo(frame(cv::Rect(400, 100, 240, 240)));
    FrameImages images;
    images.colour = frame.clone();
    cv::cvtColor(frame, images.grey, cv::COLOR_BGR2GRAY);

    std::vector<cv::Mat> train_images{images.grey(cv::Rect(0, 0, 160, 160)).clone()};
    cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8);
    recognizer->train(train_images, std::vector<int>{1});
    std::vector<TrainingSample> samples(1);
    samples[0].image = train_images[0];
    Options options;
    options.quality_min_sharpness = 0.0;
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;

    const std::vector<cv::Rect> faces{cv::Rect(700, 50, 120, 120), cv::Rect(540, 150, 200, 180)};
    const std::vector<FaceOutcome> outcomes =
        handle_faces(faces, images, *recognizer, samples, options, window, stats, logger);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(outcomes[0].clipped.empty());
    EXPECT_EQ(outcomes[1].clipped, cv::Rect(540, 150, 100, 180));
    EXPECT_EQ(outcomes[1].quality.face_size, cv::Size(100, 180));
    EXPECT_EQ(stats.max_faces_observed, 2);
    EXPECT_EQ(stats.frames_with_faces, 1);
    EXPECT_EQ(window.entries.size(), 1u) << "only the visible face is evaluated";
    EXPECT_EQ(stats.unknown_predictions + stats.candidate_veyra_predictions + stats.confirmed_veyra_predictions, 1);
    const cv::Scalar colour = label_colour(outcomes[1].decision.label);
    const cv::Vec3b expected(static_cast<uchar>(colour[0]), static_cast<uchar>(colour[1]), static_cast<uchar>(colour[2]));
    // The rectangle is drawn on the clipped box: its left side and the frame's last column carry the colour.
    EXPECT_EQ(images.colour.at<cv::Vec3b>(250, 540), expected);
    EXPECT_EQ(images.colour.at<cv::Vec3b>(250, 639), expected);
}

// Rows, above the face's top, in which drawing the face changed some pixel.
std::set<int> changed_rows_above(int face_top) {
    cv::Mat canvas(400, 600, CV_8UC3, cv::Scalar(0, 0, 0));
    const cv::Mat blank = canvas.clone();
    IdentityDecision decision;
    decision.label = "ConfirmedVeyra";
    decision.confidence = 42.9;
    decision.hits = 6;
    RunStats stats;
    stats.last_best_profile_stage = "flat";
    draw_face(canvas, cv::Rect(100, face_top, 160, 160), decision, stats, Options());
    cv::Mat diff;
    cv::absdiff(canvas, blank, diff);
    cv::cvtColor(diff, diff, cv::COLOR_BGR2GRAY);
    std::set<int> rows;
    for (int y = 0; y < face_top; ++y)
        if (cv::countNonZero(diff.row(y)) > 0) rows.insert(y);
    return rows;
}

TEST(FrameSteps, FaceTextsStackAboveTheFaceAndAreClampedAtThirtyNearTheTop) {
    int baseline = 0;
    const int label_height =
        cv::getTextSize("ConfirmedVeyra 42", cv::FONT_HERSHEY_SIMPLEX, 0.9, 2, &baseline).height;
    // Low face: three separate lines, the label 66 px above the top.
    const std::set<int> low = changed_rows_above(300);
    ASSERT_FALSE(low.empty());
    EXPECT_LE(*low.begin(), 300 - 66 - label_height + 2);
    EXPECT_GE(*low.begin(), 300 - 66 - label_height - 4);
    // Face at the top: all three texts sit on y = 30, nothing higher than the tallest text.
    const std::set<int> top = changed_rows_above(60);
    const std::set<int> high = changed_rows_above(12);
    ASSERT_FALSE(high.empty());
    EXPECT_GE(*high.begin(), 30 - label_height - 4);
    EXPECT_LE(*high.begin(), 30 - label_height + 2);
    EXPECT_EQ(*top.begin(), *high.begin()) << "clamped at 30 however close the face is to the top";
}

TEST(FrameSteps, OnlyQAndEscapeStopTheLoop) {
    for (int key : std::vector<int>{'q', 'Q', 27}) EXPECT_TRUE(is_stop_key(key)) << key;
    for (int key : std::vector<int>{-1, 0, 'x', 'w', 'a', 13, 32, 'q' + 256}) EXPECT_FALSE(is_stop_key(key)) << key;
}

}  // namespace
