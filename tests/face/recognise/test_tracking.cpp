// --track on the real programs: a short stream on the simulated sensor in which the enrolled person walks across
// the frame and a stranger appears half-way, run with and without --track; and the tracker called directly on
// scripted frames, each scan waited for so that what the scans bring in is known frame by frame.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "core/face_tracking.h"
#include "core/frame_steps.h"
#include "face_programs.h"
#include "program_output.h"
#include "sensor_frames.h"
#include "test_photos.h"

namespace {

namespace fs = std::filesystem;
using face_test::ScratchDir;

constexpr int kFrames = 24;
constexpr int kStrangerFrom = 13;  // the first frame (counted from 1) that shows the stranger
constexpr int kPickUpAtMost = 1;  // frames after per-frame detection: she appears at once, where the picture changed

// The walk: 960 x 540 frames, the enrolled person 8 pixels further right each frame, the stranger's head and
// shoulders from kStrangerFrom on, on the first background in which the detector finds just these faces.
void write_walk(const fs::path &dir) {
    const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
    const cv::Mat person = enrolled(cv::Rect(0, 0, enrolled.cols, 460));
    const cv::Mat stranger = face_test::read_photo(face_test::kOtherPhoto)(cv::Rect(80, 0, 300, 300));
    for (uint64_t seed = 1; seed < 20; ++seed) {
        const cv::Mat background = face_test::textured_background(960, 540, seed);
        std::vector<cv::Mat> frames;
        for (int i = 0; i < kFrames; ++i) {
            cv::Mat frame = background.clone();
            face_test::paste(frame, person, 20 + 8 * i, 40);
            if (i + 1 >= kStrangerFrom) face_test::paste(frame, stranger, 640, 40);
            if (face_test::default_detections(frame).size() != (i + 1 >= kStrangerFrom ? 2u : 1u)) break;
            frames.push_back(frame);
        }
        if (frames.size() < static_cast<size_t>(kFrames)) continue;
        for (int i = 0; i < kFrames; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%03d.png", i + 1);
            face_test::write_image(dir / name, frames[i]);
        }
        return;
    }
    throw std::runtime_error("no background keeps the walk's detections to its two faces");
}

std::vector<int> visible_faces(const std::string &out) {
    std::vector<int> counts;
    for (const std::string &line : face_test::lines_starting(out, "processed frames: "))
        counts.push_back(std::stoi(face_test::field(line, "visible faces")));
    return counts;
}

// The start-up report: the lines before the sensor's first line.
std::vector<std::string> startup_lines(const std::string &out) {
    std::vector<std::string> lines = face_test::split_lines(out);
    const auto sensor = std::find_if(lines.begin(), lines.end(),
                                     [](const std::string &l) { return l.rfind("device serial: ", 0) == 0; });
    return std::vector<std::string>(lines.begin(), sensor);
}

// The keys of a summary or status line, in order.
std::vector<std::string> keys(const std::string &line) {
    std::vector<std::string> found;
    for (size_t at = 0; at < line.size();) {
        const size_t end = std::min(line.find('=', at), line.find(": ", at));
        if (end == std::string::npos) break;
        found.push_back(line.substr(at, end - at));
        const size_t next = line.find(", ", end);
        if (next == std::string::npos) break;
        at = next + 2;
    }
    return found;
}

class Tracking : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir();
        face_test::write_samples_from_photo(face_test::read_photo(face_test::kEnrolledPhoto), samples(), "veyra");
        fs::create_directories(walk());
        write_walk(walk());
    }
    static void TearDownTestSuite() { delete dir_; }
    static fs::path samples() { return dir_->path / "samples"; }
    static fs::path walk() { return dir_->path / "walk"; }

    face_test::RunRequest face_run(std::vector<std::string> extra) {
        face_test::RunRequest request;
        request.args = face_test::base_args(samples(), run_dir_, kFrames);
        request.args.insert(request.args.end(), {"--log-every", "1", "--calibration-log"});
        request.args.insert(request.args.end(), extra.begin(), extra.end());
        request.env = {{"LUMIVAR_SIM_FRAMES", walk().string()}};
        return request;
    }

    static ScratchDir *dir_;
    ScratchDir run_dir_;
};

ScratchDir *Tracking::dir_ = nullptr;

TEST_F(Tracking, FollowsTheWalkerPicksUpTheStrangerAndLeavesWhatFollowsDetectionUnchanged) {
    const face_test::RunResult plain = face_test::run_program(face_run({}));
    const face_test::RunResult tracked = face_test::run_program(face_run({"--track"}));
    ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
    ASSERT_EQ(tracked.status, 0) << tracked.out << tracked.err;

    // The report says tracking is on; otherwise the start-up lines are the same.
    std::vector<std::string> startup = startup_lines(tracked.out);
    const auto on = std::find(startup.begin(), startup.end(), "tracking: enabled");
    ASSERT_NE(on, startup.end()) << tracked.out;
    startup.erase(on);
    EXPECT_EQ(startup, startup_lines(plain.out));
    EXPECT_EQ(plain.out.find("tracking"), std::string::npos);

    // Per-frame detection sees the walker alone, then both.
    const std::vector<int> expected = visible_faces(plain.out);
    const std::vector<int> seen = visible_faces(tracked.out);
    ASSERT_EQ(expected.size(), static_cast<size_t>(kFrames)) << plain.out;
    ASSERT_EQ(seen.size(), expected.size()) << tracked.out;
    for (int frame = 1; frame <= kFrames; ++frame)
        ASSERT_EQ(expected[frame - 1], frame < kStrangerFrom ? 1 : 2) << "frame " << frame << "\n" << plain.out;

    // Followed in every frame from the first; the stranger is reported a few frames late at most, then kept.
    const auto both = std::find(seen.begin() + kStrangerFrom - 1, seen.end(), 2);
    ASSERT_NE(both, seen.end()) << tracked.out;
    const int picked_up = static_cast<int>(both - seen.begin()) + 1;
    EXPECT_LE(picked_up - kStrangerFrom, kPickUpAtMost);
    for (int frame = 1; frame <= kFrames; ++frame) {
        if (frame >= kStrangerFrom && frame < picked_up) EXPECT_EQ(seen[frame - 1], 1) << "frame " << frame;
        else EXPECT_EQ(seen[frame - 1], expected[frame - 1]) << "frame " << frame << "\n" << tracked.out;
    }

    // After detection everything is as before: a decision and a calibration line per face, the enrolled person
    // confirmed, the same status and summary fields.
    const std::vector<std::string> calibration = face_test::lines_starting(tracked.out, "calibration frame=");
    int faces = 0;
    for (const int n : seen) faces += n;
    EXPECT_EQ(static_cast<int>(calibration.size()), faces);
    const std::string summary = face_test::lines_starting(tracked.out, "summary: ").at(0);
    const std::string plain_summary = face_test::lines_starting(plain.out, "summary: ").at(0);
    EXPECT_EQ(keys(summary), keys(plain_summary));
    EXPECT_EQ(keys(face_test::lines_starting(tracked.out, "processed frames: ").back()),
              keys(face_test::lines_starting(plain.out, "processed frames: ").back()));
    EXPECT_EQ(face_test::field(summary, "frames"), std::to_string(kFrames));
    EXPECT_EQ(face_test::field(summary, "max_faces_observed"), "2");
    EXPECT_GT(std::stoi(face_test::field(summary, "confirmed_veyra_predictions")), 0) << tracked.out;
    // The stranger goes through the identity decision as Unknown in every frame she is reported in.
    std::map<int, std::string> labels;
    for (const std::string &line : calibration)
        labels[std::stoi(face_test::field(line, "calibration frame"))] += face_test::field(line, "label") + " ";
    for (int frame = picked_up; frame <= kFrames; ++frame)
        EXPECT_NE(labels[frame].find("Unknown"), std::string::npos) << "frame " << frame << "\n" << tracked.out;
    EXPECT_NE(tracked.out.find("clean exit"), std::string::npos);
}

TEST_F(Tracking, StopSignalEndsTheTrackedRunInOrder) {
    face_test::RunRequest request = face_run({"--track"});
    request.args.insert(request.args.end(), {"--frames", "1000000"});
    request.env = {{"LUMIVAR_SIM_FRAMES", walk().string()}, {"LUMIVAR_SIM_LOOP", "1"}, {"LUMIVAR_SIM_REALTIME", "1"}};
    face_test::Child child;
    face_test::start_program(request, child);
    ASSERT_TRUE(face_test::wait_until([&] { return child.out().find("processed frames: 3,") != std::string::npos; }, 120));
    ::kill(child.pid, SIGINT);
    const face_test::RunResult r = face_test::wait_program(child, 60);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> lines = face_test::split_lines(r.out);
    const auto stop = std::find(lines.begin(), lines.end(), "stop requested by signal SIGINT");
    ASSERT_NE(stop, lines.end()) << r.out;
    ASSERT_EQ(lines.end() - stop, 4) << r.out;
    EXPECT_EQ(stop[1], "stopped RGB stream");
    EXPECT_EQ(face_test::field(stop[2], "frames"),
              std::to_string(face_test::lines_starting(r.out, "processed frames: ").size()));
    EXPECT_EQ(stop[3], "clean exit");
}

TEST_F(Tracking, EnrolmentFollowsTheWalkerAndRefusesTrackingPhotos) {
    face_test::RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", (run_dir_ / "enrolled").string(), "--count", "50", "--min-change", "0",
                    "--track"};
    request.env = {{"LUMIVAR_SIM_FRAMES", walk().string()}};
    const face_test::RunResult r = face_test::run_program(request);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\ntracking: enabled\n"), std::string::npos) << r.out;
    // The walker alone: a sample from every frame but those the gate refused; with the stranger: none.
    EXPECT_NE(r.out.find("saved frame=1,"), std::string::npos) << r.out;
    const std::string summary = face_test::lines_starting(r.out, "summary: ").at(0);
    EXPECT_EQ(face_test::field(summary, "looked_at"), std::to_string(kFrames));
    EXPECT_EQ(r.out.find("saved frame=" + std::to_string(kStrangerFrom + kPickUpAtMost)), std::string::npos);
    EXPECT_NE(r.out.find("skipped frame=" + std::to_string(kFrames) + ", reason=several_faces"), std::string::npos)
        << r.out;

    request.args = {"--samples-dir", (run_dir_ / "enrolled").string(), "--images", walk().string(), "--track"};
    const face_test::RunResult photos = face_test::run_program(request);
    EXPECT_EQ(photos.status, 2);
    EXPECT_NE(photos.err.find("--track follows faces from frame to frame: it cannot be used with --images"),
              std::string::npos)
        << photos.err;
}

// Where the picture changed: a face-sized change is searched with a margin, a speck or a face already followed is
// not, a change of most of the picture is left to the scans; boxes that overlap once grown become one.
TEST(ChangedAreas, FaceSizedChangesAwayFromTheFacesFollowedWithinTheBudget) {
    const cv::Size image(200, 200);
    EXPECT_EQ(merged_areas({{10, 10, 10, 10}, {25, 10, 10, 10}, {40, 10, 10, 10}, {150, 150, 10, 10}}, 4, image),
              (std::vector<cv::Rect>{{6, 6, 48, 18}, {146, 146, 18, 18}}));
    EXPECT_EQ(merged_areas({{0, 190, 10, 10}}, 4, image), (std::vector<cv::Rect>{{0, 186, 14, 14}}));

    const cv::Mat before(image, CV_8U, cv::Scalar(100));
    cv::Mat now = before.clone();
    now(cv::Rect(100, 60, 40, 40)) = 200;
    now(cv::Rect(20, 20, 4, 4)) = 0;  // one cell: less than a quarter of a 20-pixel face
    EXPECT_EQ(changed_areas(before, now, {}, 20), (std::vector<cv::Rect>{{90, 50, 60, 60}}));
    EXPECT_EQ(changed_areas(before, now, {TrackedFace{{110, 70, 20, 20}}}, 20), std::vector<cv::Rect>{});
    EXPECT_EQ(changed_areas(before, now(cv::Rect(0, 0, 200, 160)), {}, 20), std::vector<cv::Rect>{});  // holds the square
    cv::Mat quarter = before.clone();
    quarter(cv::Rect(40, 40, 8, 8)) = 0;  // 2 x 2 cells: exactly a quarter of a 16-pixel face counts
    EXPECT_EQ(changed_areas(before, quarter, {}, 16), (std::vector<cv::Rect>{{32, 32, 24, 24}}));
    now(cv::Rect(0, 0, 200, 110)) = 0;  // 55 % of the picture
    EXPECT_EQ(changed_areas(before, now, {}, 20), std::vector<cv::Rect>{});
}

// A head on the first background on which per-frame detection finds just its face, at `left` and three quarters
// of the face's width further right, and nothing on the background alone.
struct HeadScene {
    cv::Mat background, head;
    int left = 100, top = 80, shift = 0;
    cv::Rect face, moved;  // as per-frame detection finds it at `left` and at `left + shift`

    cv::Mat with_head(int x) const {
        cv::Mat frame = background.clone();
        face_test::paste(frame, head, x, top);
        return frame;
    }
};

HeadScene head_scene() {
    HeadScene scene;
    scene.head = face_test::read_photo(face_test::kOtherPhoto)(cv::Rect(80, 0, 300, 300));
    for (uint64_t seed = 1; seed < 20; ++seed) {
        scene.background = face_test::textured_background(960, 540, seed);
        const std::vector<cv::Rect> at_left = face_test::default_detections(scene.with_head(scene.left));
        if (at_left.size() != 1 || !face_test::default_detections(scene.background).empty()) continue;
        scene.face = at_left[0];
        scene.shift = 3 * scene.face.width / 4;
        const std::vector<cv::Rect> moved = face_test::default_detections(scene.with_head(scene.left + scene.shift));
        if (moved.size() != 1) continue;
        scene.moved = moved[0];
        return scene;
    }
    throw std::runtime_error("no background keeps the detections to the head's face");
}

cv::Mat grey_of(const cv::Mat &bgr) {
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

// The tracker on one frame, then the scan it handed over finished, so that the next frame takes its faces in.
std::vector<cv::Rect> track_then_scan(FaceTracker &tracker, cv::CascadeClassifier &detector, const cv::Mat &bgr,
                                      const Options &options) {
    cv::Mat grey = grey_of(bgr);
    const std::vector<cv::Rect> faces = track_faces(tracker, detector, grey, options);
    const bool scanned = face_test::wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
            return !tracker.exchange.scanning && tracker.exchange.waiting.empty();
        },
        120);
    if (!scanned) throw std::runtime_error("the scan did not finish");
    return faces;
}

int centre_offset(const cv::Rect &a, const cv::Rect &b) {
    const cv::Point d = (a.tl() + a.br()) / 2 - (b.tl() + b.br()) / 2;
    return std::max(std::abs(d.x), std::abs(d.y));
}

Options tracking_options() {
    Options options;
    options.track = true;
    options.cascade_path = face_test::kHaarCascade;
    return options;
}

// The light comes on with a face in view: the whole picture changed, so only a scan finds the face. It leaves and is
// gone from the count at once; missed, it is still searched for over 3 frames, then dropped, and found again when
// it comes back either way. The light goes off and on again and the face moves three quarters of its width before
// the scan that placed it is taken in: searched for that far, it is still followed.
TEST(TrackFaces, FindsByScanLetsGoOfALeaverKeepsAMissedFaceThreeFramesAndFollowsAScannedFaceFar) {
    const HeadScene scene = head_scene();
    const Options options = tracking_options();
    cv::CascadeClassifier detector(face_test::kHaarCascade);
    FaceTracker tracker;
    ASSERT_TRUE(start_tracking(tracker, options));
    const auto track = [&](const cv::Mat &bgr) { return track_then_scan(tracker, detector, bgr, options); };
    const cv::Mat dark(scene.background.size(), CV_8UC3, cv::Scalar::all(0));
    const cv::Mat here = scene.with_head(scene.left);

    EXPECT_TRUE(track(dark).empty());
    EXPECT_TRUE(track(dark).empty());
    EXPECT_TRUE(track(here).empty()) << "a picture changed in whole is left to the scans";
    for (int frame = 4; frame <= 6; ++frame) EXPECT_EQ(track(here).size(), 1u) << "frame " << frame;

    for (int missed = 1; missed <= 3; ++missed) {
        EXPECT_TRUE(track(scene.background).empty()) << "miss " << missed;
        ASSERT_EQ(tracker.faces.size(), 1u) << "miss " << missed;
        EXPECT_EQ(tracker.faces[0].misses, missed);
    }
    EXPECT_EQ(track(here).size(), 1u) << "back after 3 misses";
    ASSERT_EQ(tracker.faces.size(), 1u);
    EXPECT_EQ(tracker.faces[0].misses, 0);
    for (int missed = 1; missed <= 4; ++missed) EXPECT_TRUE(track(scene.background).empty()) << "miss " << missed;
    EXPECT_TRUE(tracker.faces.empty()) << "kept after 4 misses";
    std::vector<cv::Rect> faces = track(here);
    ASSERT_EQ(faces.size(), 1u) << "back after 4 misses, where the picture changed";
    EXPECT_LE(centre_offset(faces[0], scene.face), scene.face.width / 8);

    // Dark for 4 frames: the face is dropped, and the frame it is back in is left to the scans again.
    for (int frame = 16; frame <= 19; ++frame) EXPECT_TRUE(track(dark).empty()) << "frame " << frame;
    EXPECT_TRUE(track(here).empty());
    faces = track(scene.with_head(scene.left + scene.shift));
    ASSERT_EQ(faces.size(), 1u) << "the scan's face, moved by " << scene.shift << " pixels, is not followed";
    EXPECT_LE(centre_offset(faces[0], scene.moved), scene.face.width / 8);
}

// Two followed boxes of different sizes that find the same face: one person, one face.
TEST(TrackFaces, TwoFollowedBoxesOnOneFaceBecomeOne) {
    const HeadScene scene = head_scene();
    const Options options = tracking_options();
    cv::CascadeClassifier detector(face_test::kHaarCascade);
    FaceTracker tracker;  // no scans: only the two boxes are searched
    cv::Mat grey = grey_of(scene.with_head(scene.left));
    cv::Mat copy = grey.clone();
    tracker.previous_cells = change_cells(detection_image(copy, options.scale));
    tracker.first_frame_done = true;
    const cv::Rect face(scene.face.tl() / 2, scene.face.br() / 2);  // on the detection image
    const auto grown = [&](int d) { return cv::Rect(face.x - d, face.y - d, face.width + 2 * d, face.height + 2 * d); };
    // Each alone finds the face, the first a little smaller than the second does.
    tracker.faces = {TrackedFace{grown(-face.width / 32)}, TrackedFace{grown(face.width / 32)}};
    const std::vector<cv::Rect> faces = track_faces(tracker, detector, grey, options);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_LE(centre_offset(faces[0], scene.face), scene.face.width / 8);
    EXPECT_EQ(tracker.faces.size(), 1u);
}

// Scans on the second thread: none while nothing calls for one and the last scan's share of the time is spent;
// one when most of the picture changed, when a face followed is missed twice in a row, and when a routine scan
// is due.
TEST_F(Tracking, ScansWhenTheFramesCallForOneAndNowAndThenOtherwise) {
    const cv::Mat walker = cv::imread((walk() / "frame_001.png").string(), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(walker.empty());
    Options options;
    options.track = true;
    cv::CascadeClassifier detector(face_test::kHaarCascade);
    FaceTracker tracker;
    ASSERT_TRUE(start_tracking(tracker, options));
    const auto scan_in_hand = [&] {
        std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
        return tracker.exchange.scanning || !tracker.exchange.waiting.empty() || tracker.exchange.done;
    };
    // Waits for the scan in hand to end, then makes it look as if it took `took`.
    const auto after_scan_lasting = [&](std::chrono::seconds took) {
        ASSERT_TRUE(face_test::wait_until([&] {
            std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
            return !tracker.exchange.scanning && tracker.exchange.waiting.empty();
        }, 120));
        std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
        tracker.exchange.took = took;
        tracker.exchange.finished = std::chrono::steady_clock::now();
    };
    const auto track = [&](const cv::Mat &frame) {
        cv::Mat grey = frame.clone();
        return track_faces(tracker, detector, grey, options);
    };

    const std::vector<cv::Rect> first = track(walker);
    ASSERT_EQ(first.size(), 1u);
    after_scan_lasting(std::chrono::hours(1));
    EXPECT_EQ(track(walker).size(), 1u);
    EXPECT_FALSE(scan_in_hand());

    // The right half turned over: the same grey levels, so the walker is still found, but changed too widely to
    // search.
    cv::Mat turned = walker.clone();
    cv::Mat right = turned(cv::Rect(turned.cols / 2, 0, turned.cols / 2, turned.rows));
    cv::flip(right, right, -1);
    EXPECT_EQ(track(turned).size(), 1u);
    EXPECT_TRUE(scan_in_hand());
    after_scan_lasting(std::chrono::hours(1));
    track(turned);
    EXPECT_FALSE(scan_in_hand());

    after_scan_lasting(std::chrono::seconds(0));
    track(turned);
    EXPECT_TRUE(scan_in_hand()) << "a routine scan was due";
    // That scan's own length sets the rest before the next one.
    ASSERT_TRUE(face_test::wait_until([&] {
        std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
        return tracker.exchange.done;
    }, 120));
    track(turned);
    EXPECT_FALSE(scan_in_hand());

    // The walker's face covered: lost where it was followed, which one miss alone (the detector's flicker, as
    // often as not) does not take for a loss; the second in a row does.
    after_scan_lasting(std::chrono::hours(1));
    cv::Mat covered = turned.clone();
    covered(first[0]) = cv::mean(covered(first[0]));
    for (const cv::Rect &face : track(covered)) EXPECT_EQ((face & first[0]).area(), 0);
    EXPECT_FALSE(scan_in_hand());
    EXPECT_TRUE(track(covered).empty());
    EXPECT_TRUE(scan_in_hand());
}

}  // namespace
