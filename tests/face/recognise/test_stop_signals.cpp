// Ctrl-C and SIGTERM sent to the real programs mid-run on the simulated sensor: the run ends as after its frame
// limit, with a line naming the signal, also while it waits for a late frame; a second signal while stopping ends
// the program at once, leaving no temporary file and no sample the manifest does not name.
#include <gtest/gtest.h>

#include <signal.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/stop_signals.h"
#include "face_programs.h"
#include "program_output.h"
#include "sensor_frames.h"
#include "stop_mid_write.h"
#include "test_photos.h"

namespace {

namespace fs = std::filesystem;
using face_test::ScratchDir;

// A frame directory the simulated sensor repeats at its frame rate for as long as the run goes on.
std::map<std::string, std::string> endless_frames(const fs::path &frames) {
    return {{"LUMIVAR_SIM_FRAMES", frames.string()}, {"LUMIVAR_SIM_LOOP", "1"}, {"LUMIVAR_SIM_REALTIME", "1"}};
}

// The lines from the first one starting with `prefix` on.
std::vector<std::string> lines_from(const std::string &out, const std::string &prefix) {
    std::vector<std::string> lines = face_test::split_lines(out);
    auto first = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
    return std::vector<std::string>(first, lines.end());
}

TEST(StopSignals, LumivarFaceEndsOnSigintAsAfterItsFrameLimitAndASecondSignalEndsItAtOnce) {
    ScratchDir dir;
    face_test::write_samples_from_photo(face_test::read_photo(face_test::kEnrolledPhoto), dir / "samples", "veyra");
    face_test::write_image(dir / "frames/f.png", face_test::clean_background(320, 180));
    face_test::RunRequest request;
    request.args = face_test::base_args(dir / "samples", dir, 1000000);
    request.args.insert(request.args.end(), {"--log-every", "1"});
    request.env = endless_frames(dir / "frames");

    face_test::Child child;
    face_test::start_program(request, child);
    ASSERT_TRUE(face_test::wait_until([&] { return child.out().find("processed frames: 3,") != std::string::npos; }, 120));
    ::kill(child.pid, SIGINT);
    face_test::RunResult r = face_test::wait_program(child, 60);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> status_lines = face_test::lines_starting(r.out, "processed frames: ");
    const std::vector<std::string> end = lines_from(r.out, "stop requested by ");
    ASSERT_EQ(end.size(), 4u) << r.out;
    EXPECT_EQ(end[0], "stop requested by signal SIGINT");
    EXPECT_EQ(end[1], "stopped RGB stream");
    // The frame in hand was finished: every frame counted got its status line.
    EXPECT_EQ(face_test::field(end[2], "frames"), std::to_string(status_lines.size()));
    EXPECT_EQ(end[3], "clean exit");

    // A second signal while the first is being handled: no orderly end, the program is gone at once.
    face_test::Child again;
    face_test::start_program(request, again);
    ASSERT_TRUE(face_test::wait_until([&] { return again.out().find("processed frames: 1,") != std::string::npos; }, 120));
    ::kill(again.pid, SIGINT);
    ::kill(again.pid, SIGTERM);
    r = face_test::wait_program(again, 60);
    // Ended by whichever of the two was handled second (the system picks the order).
    EXPECT_TRUE(r.status == 128 + SIGTERM || r.status == 128 + SIGINT) << r.status << "\n" << r.out;
    EXPECT_EQ(r.out.find("clean exit"), std::string::npos);
}

TEST(StopSignals, LumivarEnrollEndsOnSigtermWithItsClosingLinesAndNoTemporaryFile) {
    const std::vector<fs::path> stills = face_test::enrolled_stills();
    if (stills.empty()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    ScratchDir dir;
    fs::create_directories(dir / "frames");
    fs::copy_file(stills[1], dir / "frames/f.jpg");
    face_test::RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", (dir / "samples").string(), "--count", "50", "--frames", "1000000",
                    "--quality-min-sharpness", "20"};
    request.env = endless_frames(dir / "frames");

    face_test::Child child;
    face_test::start_program(request, child);
    ASSERT_TRUE(face_test::wait_until([&] { return child.out().find("skipped frame=2") != std::string::npos; }, 120));
    ::kill(child.pid, SIGTERM);
    const face_test::RunResult r = face_test::wait_program(child, 60);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> end = lines_from(r.out, "stop requested by ");
    ASSERT_EQ(end.size(), 5u) << r.out;
    EXPECT_EQ(end[0], "stop requested by signal SIGTERM");
    EXPECT_EQ(end[1], "stopped RGB stream");
    EXPECT_EQ(end[2].rfind("summary: looked_at=", 0), 0u);
    EXPECT_EQ(face_test::field(end[2], "saved"), "1");
    EXPECT_EQ(end[3], "warning: saved 1 of 50 samples");
    EXPECT_EQ(end[4], "clean exit");
    std::vector<std::string> files;
    for (const auto &entry : fs::directory_iterator(dir / "samples/enrol")) files.push_back(entry.path().filename());
    EXPECT_EQ(files, std::vector<std::string>{"enrol-0001.png"});
}

// The sensor library's wait for a frame cannot be interrupted; a stop still ends it within a slice of it, not at
// the frame time-out: no time-out line, the program's own end.
TEST(StopSignals, AStopEndsTheWaitForAFrameThatIsLateInBothSensorLoops) {
    ScratchDir dir;
    face_test::write_samples_from_photo(face_test::read_photo(face_test::kEnrolledPhoto), dir / "samples", "veyra");
    face_test::write_image(dir / "frames/f1.png", face_test::clean_background(320, 180));
    face_test::write_image(dir / "frames/f2.png", face_test::clean_background(320, 180));
    face_test::RunRequest face;
    face.args = face_test::base_args(dir / "samples", dir, 10);
    face.env = {{"LUMIVAR_SIM_FRAMES", (dir / "frames").string()}, {"LUMIVAR_SIM_FPS", "0.04"}};  // 25 s apart
    face_test::RunRequest enroll;  // depth frames never come: every wait lasts its whole time
    enroll.program = LUMIVAR_ENROLL_SIM_BIN;
    enroll.args = {"--samples-dir", (dir / "enrolled").string(), "--liveness"};
    enroll.env = {{"LUMIVAR_SIM_FRAMES", (dir / "frames").string()}, {"LUMIVAR_SIM_FAIL", "depth"},
                  {"LUMIVAR_SIM_LOOP", "1"}};

    const std::vector<std::tuple<face_test::RunRequest, std::string, int>> runs = {
        {face, "processed frames: 1,", SIGTERM}, {enroll, "started depth stream", SIGINT}};
    for (const auto &[request, waiting, signal_number] : runs) {
        face_test::Child child;
        face_test::start_program(request, child);
        ASSERT_TRUE(face_test::wait_until([&] { return child.out().find(waiting) != std::string::npos; }, 120));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // well into the wait
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(child.pid, signal_number);
        const face_test::RunResult r = face_test::wait_program(child, 60);
        // A slice and the closing lines, far less than the rest of the 10 s wait (wide for a busy machine).
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(6)) << r.out;
        EXPECT_EQ(r.out.find("error: timeout"), std::string::npos) << r.out;
        const std::vector<std::string> end = lines_from(r.out, "stop requested by ");
        ASSERT_GE(end.size(), 3u) << r.out;
        EXPECT_EQ(end[0], stop_signal_line(signal_number));
        EXPECT_EQ(end[1], "stopped RGB stream");
    }
}

// Every file name in `dir` and below that starts with a dot: temporary files left behind.
std::vector<std::string> hidden_files(const fs::path &dir) {
    std::vector<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.path().filename().string().rfind(".", 0) == 0) found.push_back(entry.path().string());
    return found;
}

// A second signal while a sample or the manifest is being written ends lumivar_enroll at once: no temporary file
// stays, and every sample on disk is one the manifest names.
TEST(StopSignals, LumivarEnrollEndedMidWriteLeavesNoTemporaryFileAndNoSampleTheManifestDoesNotName) {
    const std::vector<fs::path> stills = face_test::enrolled_stills();
    if (stills.empty()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    for (const std::string watched : {"manifest", "sample"}) {
        SCOPED_TRACE(watched);
        ScratchDir dir;
        for (int i = 0; i < 40; ++i) {
            fs::create_directories(dir / "photos");
            fs::copy_file(stills[1], dir / "photos" / ("p" + std::to_string(100 + i) + ".jpg"));
        }
        const fs::path samples = dir / "samples";
        fs::create_directories(samples / "enrol");
        // A long one takes a while to write.
        face_test::write_file(samples / "manifest.json", "[" + std::string(4 << 20, ' ') + "]\n");
        face_test::CreationWatch watch(watched == "manifest" ? samples : samples / "enrol");
        face_test::RunRequest request;
        request.program = LUMIVAR_ENROLL_SIM_BIN;
        request.args = {"--samples-dir", samples.string(), "--images", (dir / "photos").string(), "--count", "40",
                        "--min-change", "0", "--quality-min-sharpness", "20"};
        face_test::Child child;
        face_test::start_program(request, child);
        const std::string caught =
            watch.stop_writer(child.pid, watched == "manifest" ? ".manifest.json." : ".enrol-", 240);
        ASSERT_FALSE(caught.empty()) << child.out();
        ::kill(child.pid, SIGINT);
        ::kill(child.pid, SIGTERM);
        ::kill(child.pid, SIGCONT);
        const face_test::RunResult r = face_test::wait_program(child, 60);
        EXPECT_TRUE(r.status == 128 + SIGTERM || r.status == 128 + SIGINT) << r.status << "\n" << r.out;
        EXPECT_EQ(hidden_files(dir.path), std::vector<std::string>{}) << caught;
        std::set<std::string> on_disk, listed;
        for (const auto &entry : fs::directory_iterator(samples / "enrol"))
            on_disk.insert("enrol/" + entry.path().filename().string());
        for (const auto &entry : nlohmann::json::parse(face_test::read_file(samples / "manifest.json")))
            listed.insert(entry["file"].get<std::string>());
        EXPECT_EQ(on_disk, listed);
        EXPECT_GE(listed.size(), face_test::lines_starting(r.out, "saved ").size());
    }
}

}  // namespace
