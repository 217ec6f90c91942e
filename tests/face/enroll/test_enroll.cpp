// lumivar_enroll end to end on real photos: through the simulated sensor and from a photo directory, the
// samples it saves, the manifest it extends and what lumivar_face then reads back; and its failures.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/frame_steps.h"
#include "core/identity.h"
#include "program_output.h"
#include "face_files.h"
#include "face_programs.h"
#include "sensor_frames.h"

namespace {

namespace fs = std::filesystem;
using face_test::RunRequest;
using face_test::RunResult;
using face_test::ScratchDir;

// The stills are softer than the default sharpness gate expects at their size.
const std::vector<std::string> kSoftStills = {"--quality-min-sharpness", "20"};

RunResult enroll(const fs::path &samples, const std::vector<std::string> &extra, const fs::path &frames = {}) {
    RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", samples.string()};
    request.args.insert(request.args.end(), extra.begin(), extra.end());
    if (!frames.empty()) request.env["LUMIVAR_SIM_FRAMES"] = frames.string();
    request.timeout_seconds = 300;
    return face_test::run_program(request);
}

nlohmann::json read_manifest(const fs::path &samples) {
    return nlohmann::json::parse(face_test::read_file(samples / "manifest.json"));
}

// Stills of the enrolled person as sensor frames, with a repeat, an empty scene and two people in between.
struct SensorScene {
    ScratchDir dir;
    std::vector<fs::path> stills = face_test::enrolled_stills();
    SensorScene() {
        if (stills.size() < 8) return;
        stills.erase(stills.begin() + 4);  // franck_02683 is too blurred even for the lowered gate
        const fs::path frames = dir / "frames";
        fs::create_directories(frames);
        fs::copy_file(stills[0], frames / "f01.jpg");
        fs::copy_file(stills[0], frames / "f02.jpg");
        face_test::write_image(frames / "f03.png", face_test::clean_background(720, 576));
        cv::Mat pair;
        cv::hconcat(face_test::read_photo(stills[1].string()), face_test::read_photo(stills[2].string()), pair);
        face_test::write_image(frames / "f04.png", pair);
        for (size_t i = 1; i < 7; ++i) fs::copy_file(stills[i], frames / ("f" + std::to_string(4 + i) + ".jpg"));
    }
    bool ready() const { return stills.size() >= 7; }
};

std::vector<std::string> saved_files(const std::string &out) {
    std::vector<std::string> files;
    for (const std::string &line : face_test::lines_starting(out, "saved ")) files.push_back(face_test::field(line, "file"));
    return files;
}

TEST(EnrollFromSensor, SavesVariedProbeShapedSamplesThatLumivarFaceReadsAndReRunsContinueTheNumbering) {
    SensorScene scene;
    if (!scene.ready()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const fs::path samples = scene.dir / "samples";
    // A sample the user already has, with its own manifest entry and a key lumivar_enroll does not know.
    fs::create_directories(samples / "enrol");
    fs::copy_file(scene.stills[0], samples / "enrol/enrol-0002.jpg");
    const nlohmann::json own = {{"file", "enrol/enrol-0002.jpg"}, {"stage", "first-day"}, {"sample_id", "own"},
                                {"light", {1, 2}}};
    face_test::write_file(samples / "manifest.json", nlohmann::json::array({own}).dump());
    std::vector<std::string> args = kSoftStills;
    args.insert(args.end(), {"--count", "4"});

    const RunResult first = enroll(samples, args, scene.dir / "frames");
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_EQ(saved_files(first.out), (std::vector<std::string>{"enrol/enrol-0003.png", "enrol/enrol-0004.png",
                                                                "enrol/enrol-0005.png", "enrol/enrol-0006.png"}))
        << first.out;
    EXPECT_EQ(face_test::lines_starting(first.out, "saved frame=1, ").size(), 1u) << first.out;
    EXPECT_EQ(face_test::lines_starting(first.out, "skipped frame=2, reason=too_similar").size(), 1u) << first.out;
    EXPECT_EQ(face_test::lines_starting(first.out, "skipped frame=3, reason=no_face").size(), 1u) << first.out;
    EXPECT_EQ(face_test::lines_starting(first.out, "skipped frame=4, reason=several_faces, faces=2").size(), 1u)
        << first.out;
    EXPECT_EQ(face_test::lines_starting(first.out, "summary: looked_at=7, saved=4, count=4, ").size(), 1u)
        << first.out;
    EXPECT_NE(first.out.find("stopped RGB stream\nsummary: "), std::string::npos);
    EXPECT_EQ(face_test::split_lines(first.out).back(), "clean exit");
    EXPECT_EQ(first.out.find("warning: saved"), std::string::npos) << "the full count was saved";

    // Each sample is the loop's probe of that face, and no two are alike.
    cv::CascadeClassifier detector(face_test::kHaarCascade);
    cv::Mat grey;
    cv::cvtColor(face_test::read_photo(scene.stills[0].string()), grey, cv::COLOR_BGR2GRAY);
    const Options defaults;
    const std::vector<cv::Rect> faces = find_faces(detector, grey, defaults);
    ASSERT_EQ(faces.size(), 1u);
    const cv::Mat probe = build_probe(gate_face(grey, faces[0], defaults).crop);
    std::vector<cv::Mat> images;
    for (const std::string &file : saved_files(first.out)) images.push_back(cv::imread((samples / file).string(), cv::IMREAD_UNCHANGED));
    ASSERT_EQ(images[0].type(), CV_8UC1);
    EXPECT_EQ(cv::norm(images[0], probe, cv::NORM_INF), 0.0);
    for (size_t a = 0; a < images.size(); ++a)
        for (size_t b = a + 1; b < images.size(); ++b) EXPECT_GT(cv::norm(images[a], images[b], cv::NORM_L1), 0.0);

    const std::string user_sample = face_test::read_file(samples / "enrol/enrol-0002.jpg");
    const RunResult second = enroll(samples, {"--count", "2", "--quality-min-sharpness", "20"}, scene.dir / "frames");
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(saved_files(second.out), (std::vector<std::string>{"enrol/enrol-0007.png", "enrol/enrol-0008.png"}));
    EXPECT_EQ(second.out.find("warning: saved"), std::string::npos) << second.out;
    EXPECT_EQ(face_test::read_file(samples / "enrol/enrol-0002.jpg"), user_sample);

    const nlohmann::json manifest = read_manifest(samples);
    ASSERT_EQ(manifest.size(), 7u) << manifest.dump();
    EXPECT_EQ(manifest[0], own);
    for (int n = 3; n <= 8; ++n) {
        const std::string id = "enrol-000" + std::to_string(n);
        EXPECT_EQ(manifest[n - 2], nlohmann::json({{"file", "enrol/" + id + ".png"}, {"stage", "enrol"}, {"sample_id", id}}));
    }

    // lumivar_face takes every new sample with its manifest metadata (no sensor: it stops after training).
    RunRequest face;
    face.args = face_test::base_args(samples, scene.dir, 1);
    const RunResult trained = face_test::run_program(face);
    EXPECT_NE(trained.out.find("loaded Veyra samples: 7\n"
                               "flat_samples: 0, staged_samples: 7, manifest_metadata_samples: 7\n"
                               "stage_samples enrol: 6\n"
                               "stage_samples first-day: 1\n"
                               "trained and saved model\n"),
              std::string::npos)
        << trained.out;
}

// The change rule compares the new picture at the last sample's place: a face that moved by 4 pixels (about
// 2 % of its width) has changed enough, though the detector follows it. --frames bounds the frames looked at.
TEST(EnrollFromSensor, AFaceMovedAFewPixelsIsSavedAndFramesBoundsTheFramesLookedAt) {
    const std::vector<fs::path> stills = face_test::enrolled_stills();
    if (stills.empty()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    ScratchDir dir;
    const cv::Mat still = face_test::read_photo(stills[0].string());
    cv::Mat moved;
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 4, 0, 1, 0);
    cv::warpAffine(still, moved, shift, still.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    face_test::write_image(dir / "frames/f1.png", still);
    for (const char *name : {"f2.png", "f3.png", "f4.png", "f5.png"})
        face_test::write_image(dir / "frames" / name, moved);
    const cv::Mat far_shift = (cv::Mat_<double>(2, 3) << 1, 0, 12, 0, 1, 0);
    cv::warpAffine(still, moved, far_shift, still.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    face_test::write_image(dir / "frames/f4.png", moved);  // would be saved, were it looked at

    std::vector<std::string> args = kSoftStills;
    args.insert(args.end(), {"--frames", "3"});
    const RunResult r = enroll(dir / "samples", args, dir / "frames");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> moved_saved = face_test::lines_starting(r.out, "saved frame=2, ");
    ASSERT_EQ(moved_saved.size(), 1u) << r.out;
    EXPECT_GE(std::stod(face_test::field(moved_saved[0], "change")), 10.0) << moved_saved[0];
    EXPECT_EQ(face_test::lines_starting(r.out, "skipped frame=3, reason=too_similar").size(), 1u) << r.out;
    EXPECT_NE(r.out.find("\nsummary: looked_at=3, saved=2, count=20, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nwarning: saved 2 of 20 samples\nclean exit\n"), std::string::npos) << r.out;
}

TEST(EnrollFromPhotos, OnePhotoWithOneGoodFaceSavesOneSampleAndEveryOtherIsReportedWithItsReason) {
    const std::vector<fs::path> stills = face_test::enrolled_stills();
    if (stills.size() < 3) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    ScratchDir dir;
    const fs::path photos = dir / "photos";
    fs::create_directories(photos / "sub");
    fs::copy_file(stills[1], photos / "a.jpg");
    cv::Mat pair;
    cv::hconcat(face_test::read_photo(stills[1].string()), face_test::read_photo(stills[2].string()), pair);
    face_test::write_image(photos / "b_two.png", pair);
    face_test::write_image(photos / "c_empty.png", face_test::clean_background(720, 576));
    face_test::write_file(photos / "d_junk.jpg", "not an image");
    face_test::write_image(photos / "d_tiny.png", cv::Mat(1, 1, CV_8UC1, cv::Scalar(9)));
    fs::copy_file(stills[2], photos / "sub/e.jpeg");
    fs::copy_file(stills[0], photos / "sub/IGNORED.JPG");

    const RunResult r = enroll(dir / "samples", {"--images", photos.string(), "--stage", "phone"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string p = photos.string() + "/";
    EXPECT_EQ(face_test::lines_starting(r.out, "saved image=" + p + "a.jpg, file=phone/phone-0001.png").size(), 1u) << r.out;
    EXPECT_EQ(face_test::lines_starting(r.out, "skipped image=" + p + "b_two.png, reason=several_faces").size(), 1u);
    EXPECT_EQ(face_test::lines_starting(r.out, "skipped image=" + p + "c_empty.png, reason=no_face").size(), 1u);
    EXPECT_EQ(face_test::lines_starting(r.out, "skipped image=" + p + "d_junk.jpg, reason=unreadable").size(), 1u);
    EXPECT_EQ(face_test::lines_starting(r.out, "skipped image=" + p + "d_tiny.png, reason=").size(), 1u);
    EXPECT_EQ(face_test::lines_starting(r.out, "saved image=" + p + "sub/e.jpeg, file=phone/phone-0002.png").size(), 1u);
    EXPECT_EQ(r.out.find("IGNORED"), std::string::npos);
    EXPECT_NE(r.out.find("summary: looked_at=6, saved=2, count=20, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nwarning: saved 2 of 20 samples\nclean exit\n"), std::string::npos) << r.out;
}

TEST(EnrollFailures, AManifestThatIsNoArrayOfObjectsIsLeftUntouchedBeforeTheSensorOpens) {
    SensorScene scene;
    if (!scene.ready()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const std::string deep = "[{\"a\": " + std::string(200, '[') + std::string(200, ']') + "}]";
    const std::string not_array = "error: manifest is not a JSON array of objects: ";
    const std::string damaged = "error: manifest is damaged (it holds NUL bytes): ";
    const std::vector<std::pair<std::string, std::string>> manifests = {
        {"not json", not_array}, {"{\"file\": \"a.png\"}", not_array}, {"[{\"file\": \"a.png\"}, 3]", not_array},
        {"", not_array}, {"[1e400]", not_array}, {"[{\"file\": 1e400}] x", not_array},
        // What a crash or a full disk leaves after the array: NUL padding, and entries appended after it.
        {"[{\"file\": \"a.png\"}]\n" + std::string(64, '\0'), damaged},
        {"[{\"file\": \"a.png\"}]" + std::string(3, '\0') + ",\n  {\"file\": \"b.png\"}]", damaged}};
    for (const auto &[text, error] : manifests) {
        ScratchDir dir;
        face_test::write_file(dir / "samples/manifest.json", text);
        const RunResult r = enroll(dir / "samples", {}, scene.dir / "frames");
        EXPECT_EQ(r.status, 9) << text;
        EXPECT_EQ(face_test::split_lines(r.out).back(), error + (dir / "samples/manifest.json").string());
        EXPECT_EQ(r.out.find("device serial"), std::string::npos) << r.out;
        EXPECT_EQ(face_test::read_file(dir / "samples/manifest.json"), text);
        EXPECT_FALSE(fs::exists(dir / "samples/enrol"));
    }
    // Deep nesting and numbers beyond a double's range are valid JSON: never rewritten, such a manifest is kept.
    ScratchDir dir;
    face_test::write_file(dir / "samples/manifest.json", deep);
    const RunResult kept = enroll(dir / "samples", {}, scene.dir / "frames");
    EXPECT_EQ(face_test::lines_starting(kept.out, "manifest: ").size(), 1u) << kept.out;
    EXPECT_EQ(kept.out.find("error: manifest"), std::string::npos) << kept.out;
}

// The manifest is replaced by a new file under its name: it keeps the user's permissions and owner, and one the
// user may not write is refused before anything is looked at.
TEST(EnrollFailures, TheManifestKeepsItsModeAndOwnerAndAReadOnlyOneIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away and to switch to an unprivileged user";
    ScratchDir dir;
    if (!face_test::one_still_in(dir.path)) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const fs::path manifest = dir / "samples/manifest.json";
    const std::string user = "[{\"file\": \"mine.png\"}]\n";
    face_test::write_file(manifest, user);
    ASSERT_EQ(::chown(manifest.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(manifest.c_str(), 0600), 0);
    std::vector<std::string> args = kSoftStills;
    args.insert(args.end(), {"--images", (dir / "photos").string()});
    const RunResult saved = enroll(dir / "samples", args);
    ASSERT_EQ(saved.status, 0) << saved.out;
    struct stat after {};
    ASSERT_EQ(::stat(manifest.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_gid, 65534u);
    EXPECT_EQ(read_manifest(dir / "samples").size(), 2u);

    // Read-only for the user who runs it (root may write any file, so an unprivileged user runs it).
    const std::string listed = face_test::read_file(manifest);
    ASSERT_EQ(::chmod(manifest.c_str(), 0444), 0);
    ASSERT_EQ(::chown((dir / "samples").c_str(), 65534, 65534), 0);
    RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", (dir / "samples").string()};
    request.args.insert(request.args.end(), args.begin(), args.end());
    request.as_nobody = true;
    const RunResult refused = face_test::run_program(request);
    EXPECT_EQ(refused.status, 9) << refused.out << refused.err;
    EXPECT_EQ(face_test::split_lines(refused.out).back(),
              "error: cannot write manifest: " + manifest.string() + ": Permission denied");
    EXPECT_EQ(face_test::read_file(manifest), listed);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "samples/enrol"), fs::directory_iterator()), 1);
}

TEST(EnrollFailures, AFullDiskIsNeverReportedAsSaved) {
    SensorScene scene;
    if (!scene.ready()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const fs::path disk = scene.dir / "disk";
    fs::create_directories(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        fs::path at;
        ~Unmount() { umount(at.c_str()); }
    } unmount{disk};

    std::vector<std::string> args = kSoftStills;
    args.insert(args.end(), {"--count", "8"});
    const RunResult r = enroll(disk / "samples", args, scene.dir / "frames");
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_EQ(r.out.find("clean exit"), std::string::npos);
    EXPECT_EQ(face_test::lines_starting(r.out, "error: failed to write ").size(), 1u) << r.out;

    // What was reported saved is exactly what is on the disk and in the manifest, whole.
    const std::vector<std::string> reported = saved_files(r.out);
    EXPECT_LT(reported.size(), 6u);
    EXPECT_NE(r.out.find("saved=" + std::to_string(reported.size()) + ", "), std::string::npos);
    std::set<std::string> on_disk;
    std::error_code ec;
    for (fs::directory_iterator it(disk / "samples/enrol", ec), end; !ec && it != end; it.increment(ec))
        on_disk.insert("enrol/" + it->path().filename().string());
    EXPECT_EQ(on_disk, std::set<std::string>(reported.begin(), reported.end()));
    for (const std::string &file : reported) EXPECT_EQ(cv::imread((disk / "samples" / file).string()).size(), cv::Size(160, 160));
    std::set<std::string> listed;
    if (!reported.empty()) {
        for (const auto &entry : read_manifest(disk / "samples")) listed.insert(entry["file"].get<std::string>());
    }
    EXPECT_EQ(listed, on_disk);
    for (fs::directory_iterator it(disk / "samples", ec), end; !ec && it != end; it.increment(ec))
        EXPECT_TRUE(it->path().filename() == "manifest.json" || it->path().filename() == "manifest.json.lock" ||
                    it->path().filename() == "enrol")
            << it->path();

    // With no room even for a sample, the run saves nothing and the manifest stays as it was.
    const std::string manifest_before = face_test::read_file(disk / "samples/manifest.json");
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
    }
    const RunResult full = enroll(disk / "samples", args, scene.dir / "frames");
    EXPECT_EQ(full.status, 10) << full.out;
    EXPECT_EQ(face_test::lines_starting(full.out, "error: failed to write sample: ").size(), 1u) << full.out;
    EXPECT_TRUE(saved_files(full.out).empty());
    EXPECT_EQ(face_test::read_file(disk / "samples/manifest.json"), manifest_before);
    EXPECT_EQ(std::distance(fs::directory_iterator(disk / "samples/enrol"), fs::directory_iterator()),
              static_cast<long>(on_disk.size()));
}

TEST(EnrollCommandLine, SharesLumivarFaceRangesAndOpensTheSensorTheSameWay) {
    ScratchDir dir;
    RunRequest request;
    request.program = LUMIVAR_ENROLL_BIN;
    request.args = {"--help"};
    const RunResult help = face_test::run_program(request);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: " + request.program + " [--samples-dir DIR] [--stage NAME] [--count N]", 0), 0u);
    const std::vector<std::vector<std::string>> rejected = {
        {"--scale-factor", "1"}, {"--scale", "1.5"}, {"--count", "0"}, {"--min-change", "-1"},
        {"--quality-min-brightness", "240"}, {"--threshold", "50"}, {"--stage", "../x"}, {"--frames"}};
    for (const std::vector<std::string> &args : rejected) {
        request.args = args;
        const RunResult r = face_test::run_program(request);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, help.out) << args[0];
    }

    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", (dir / "samples").string()};
    const std::vector<std::pair<std::map<std::string, std::string>, std::pair<int, std::string>>> sensors = {
        {{}, {5, "error: no Kinect v2 device connected"}},
        {{{"LUMIVAR_SIM_FRAMES", dir.path.string()}, {"LUMIVAR_SIM_FAIL", "open"}},
         {6, "error: failed to open Kinect v2 device"}},
        {{{"LUMIVAR_SIM_FRAMES", dir.path.string()}, {"LUMIVAR_SIM_FAIL", "start"}},
         {7, "error: failed to start Kinect RGB stream"}}};
    for (const auto &[env, expected] : sensors) {
        request.env = env;
        const RunResult r = face_test::run_program(request);
        EXPECT_EQ(r.status, expected.first);
        EXPECT_EQ(face_test::split_lines(r.out).back(), expected.second);
    }
    EXPECT_FALSE(fs::exists(dir / "samples"));
}

}  // namespace
