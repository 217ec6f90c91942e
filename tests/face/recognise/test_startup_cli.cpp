// lumivar_face from launch to the face detector, end to end: standard output, standard error,
// the LOGFILE run log, the files written and the exit status, byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "program_output.h"
#include "face_programs.h"
#include "synthetic_images.h"

namespace {

namespace fs = std::filesystem;
using face_test::RunResult;
using face_test::RunRequest;
using face_test::ScratchDir;

const std::string kProgram = LUMIVAR_FACE_BIN;

std::string report(const std::string &samples_dir, const std::string &model_path,
                   const std::vector<std::string> &values = {"60.000000", "55.000000", "10", "5", "80", "60.000000",
                                                             "35.000000-220.000000", "20.000000", "disabled"}) {
    return "Lumivar face recognition v0.7.0 unknown-rejection hardening\n"
           "mode: local Veyra-only LBPH recognition with conservative Unknown/CandidateVeyra/ConfirmedVeyra labels; "
           "no database; no network\n"
           "samples_dir: " + samples_dir + "\n"
           "model_path: " + model_path + "\n"
           "candidate_threshold: " + values[0] + "\n"
           "confirmed_threshold: " + values[1] + "\n"
           "confirm_window: " + values[2] + "\n"
           "confirm_min_hits: " + values[3] + "\n"
           "quality_min_face_size: " + values[4] + "\n"
           "quality_min_sharpness: " + values[5] + "\n"
           "quality_brightness_range: " + values[6] + "\n"
           "quality_min_contrast: " + values[7] + "\n"
           "calibration_log: " + values[8] + "\n"
           "threshold_note: LBPH confidence is lower-is-better; defaults are conservative and require hardware "
           "retuning\n"
           "security_note: local convenience recognition only; not Face ID-level security, access control, privacy "
           "decision, or Imbra identity trust\n";
}

// A samples tree with a flat image and a staged one, in a scratch working directory.
struct Workspace {
    ScratchDir dir;
    Workspace() {
        face_test::write_image(dir / "faces/veyra/a.png", face_test::noise_image(160, 160, 1));
        face_test::write_image(dir / "faces/veyra/day/b.jpg", face_test::noise_image(320, 240, 2, CV_8UC3));
    }
    RunResult run(std::vector<std::string> args, const std::string &logfile = "") {
        RunRequest request;
        request.program = kProgram;
        request.args = std::move(args);
        request.cwd = dir.path.string();
        if (!logfile.empty()) request.env["LOGFILE"] = logfile;
        return face_test::run_program(request);
    }
};

const std::string kTrainedTail = "loaded Veyra samples: 2\n"
                                 "flat_samples: 1, staged_samples: 1, manifest_metadata_samples: 0\n"
                                 "stage_samples day: 1\n"
                                 "stage_samples flat: 1\n"
                                 "trained and saved model\n";

TEST(StartupHelp, HelpPrintsUsageWithTheProgramNameAndEndsWithZero) {
    Workspace ws;
    for (const auto &args : {std::vector<std::string>{"--help"}, {"-h", "--frames", "0", "--bogus"}}) {
        const RunResult r = ws.run(args, "run.log");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, face_test::usage_text(kProgram));
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(fs::exists(ws.dir / "run.log"));
    }
}

TEST(StartupRejections, EachRejectionHasItsMessageTheUsageAndStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--frames"}, "--frames requires a value\n"},
        {{"--nonsense"}, "Unknown argument: --nonsense\n"},
        {{"--calibration-log", "5"}, "Unknown argument: 5\n"},
        {{"--frames", "0", "-h"}, ""},
        {{"--frames", "many"}, ""},
        {{"--log-every", "99999999999"}, ""},
        {{"--scale", "1e999"}, ""},
        {{"--scale", "1.5"}, ""},
        {{"--confirm-window", "3"}, "--confirm-min-hits must be <= --confirm-window\n"},
        {{"--candidate-threshold", "50"},
         "--confirmed-threshold must be <= --candidate-threshold because LBPH confidence is lower-is-better\n"},
        {{"--quality-min-brightness", "240"}, "--quality-min-brightness must be <= --quality-max-brightness\n"},
    };
    Workspace ws;
    for (const Case &c : cases) {
        const RunResult r = ws.run(c.args, "run.log");
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.out, face_test::usage_text(kProgram)) << c.args[0];
        EXPECT_FALSE(fs::exists(ws.dir / "run.log")) << c.args[0];
        EXPECT_FALSE(fs::exists(ws.dir / "models")) << c.args[0];
    }
}

TEST(StartupRun, DefaultsTrainSaveAndStopAtAMissingCascade) {
    Workspace ws;
    const RunResult r = ws.run({"--cascade", "missing.xml"}, "run.log");
    const std::string expected = report("faces/veyra", "models/face_recognizer.yml") + kTrainedTail +
                                 "error: failed to load cascade: missing.xml\n";
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(face_test::read_file(ws.dir / "run.log"), expected);
    EXPECT_EQ(face_test::read_file(ws.dir / "models/labels.txt"), "1 Veyra\n");
    EXPECT_EQ(face_test::read_file(ws.dir / "models/face_recognizer.yml").rfind("%YAML:1.0\n---\nopencv_lbphfaces:", 0),
              0u);
}

TEST(StartupRun, ReportShowsTheGivenValuesAndFilesGoWhereAsked) {
    Workspace ws;
    face_test::write_file(
        ws.dir / "faces/veyra/manifest.json",
        "{\"file\": \"day/b.jpg\", \"stage\": \"Evening\", \"sample_id\": \"" + std::string(100000, 'z') + "\"}");
    const RunResult r = ws.run({"--threshold", "70", "--candidate-threshold", "65.5", "--confirmed-threshold", "50",
                                "--confirm-window", "4", "--confirm-min-hits", "4", "--quality-min-face-size", "90",
                                "--quality-min-sharpness", "0", "--quality-min-brightness", "-5.25",
                                "--quality-max-brightness", "1e3", "--quality-min-contrast", "12.5xyz",
                                "--calibration-log", "--samples-dir", ws.dir.path.string() + "/faces/veyra",
                                "--model", "out/deep/er/m.yml", "--labels", "labels.txt", "--cascade", "",
                                "--frames", "1", "--scale", "1", "--scale-factor", "1.2", "--min-neighbors", "0",
                                "--min-face-size", "1", "--log-every", "1"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, report(ws.dir.path.string() + "/faces/veyra", "out/deep/er/m.yml",
                            {"65.500000", "50.000000", "4", "4", "90", "0.000000", "-5.250000-1000.000000",
                             "12.500000", "enabled"}) +
                         "loaded Veyra samples: 2\n"
                         "flat_samples: 1, staged_samples: 1, manifest_metadata_samples: 1\n"
                         "stage_samples Evening: 1\n"
                         "stage_samples flat: 1\n"
                         "trained and saved model\n"
                         "error: failed to load cascade: \n");
    EXPECT_TRUE(fs::is_regular_file(ws.dir / "out/deep/er/m.yml"));
    EXPECT_EQ(face_test::read_file(ws.dir / "labels.txt"), "1 Veyra\n");
}

TEST(StartupRun, ANonCascadeFileIsStatusFourWithoutNoise) {
    Workspace ws;
    face_test::write_file(ws.dir / "garbage.xml", "<opencv_storage><cascade>nonsense");
    const RunResult r = ws.run({"--cascade", "garbage.xml"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, report("faces/veyra", "models/face_recognizer.yml") + kTrainedTail +
                         "error: failed to load cascade: garbage.xml\n");
}

TEST(StartupRunLog, EmptyOrUnopenableLogFileLeavesStandardOutputOnly) {
    Workspace ws;
    const std::string expected = report("faces/veyra", "models/face_recognizer.yml") + kTrainedTail +
                                 "error: failed to load cascade: x\n";
    RunRequest request;
    request.program = kProgram;
    request.args = {"--cascade", "x"};
    request.cwd = ws.dir.path.string();
    request.env["LOGFILE"] = "";
    RunResult r = face_test::run_program(request);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, expected);

    request.env["LOGFILE"] = "no/such/dir/run.log";
    r = face_test::run_program(request);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(ws.dir / "no"));

    face_test::write_file(ws.dir / "old.log", std::string(100000, 'o'));
    request.env["LOGFILE"] = "old.log";
    r = face_test::run_program(request);
    EXPECT_EQ(face_test::read_file(ws.dir / "old.log"), expected);  // truncated, not appended
}

// A stage directory, a manifest stage and a cascade path that try to forge log lines: every line
// stays one line, control characters escaped; backslashes and UTF-8 stay as they are.
TEST(StartupRunLog, ControlCharactersFromFilesAndPathsAreEscapedSoNoLineIsForged) {
    Workspace ws;
    face_test::write_image(ws.dir / "faces/veyra/x\nerror: injected/c.png", face_test::noise_image(160, 160, 3));
    face_test::write_image(ws.dir / "faces/veyra/d\xC3\xAD" "a/d.png", face_test::noise_image(160, 160, 4));
    const char manifest[] = "{\"file\": \"day/b.jpg\", \"stage\": \"a\tb\0\x1f\x7f\\c\r\"}";
    face_test::write_file(ws.dir / "faces/veyra/manifest.json", std::string(manifest, sizeof manifest - 1));
    const RunResult r = ws.run({"--cascade", "missing\nerror: forged.xml"}, "run.log");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(face_test::read_file(ws.dir / "run.log"), r.out);
    const std::vector<std::string> stages = face_test::lines_starting(r.out, "stage_samples ");
    EXPECT_EQ(stages, (std::vector<std::string>{"stage_samples a\\tb\\x00\\x1F\\x7F\\c\\r: 1",
                                                "stage_samples d\xC3\xAD" "a: 1", "stage_samples flat: 1",
                                                "stage_samples x\\nerror: injected: 1"}));
    EXPECT_EQ(face_test::lines_starting(r.out, "error: "),
              std::vector<std::string>{"error: failed to load cascade: missing\\nerror: forged.xml"});
}

TEST(StartupSamples, NoUsableSampleIsStatusThreeAfterTheReport) {
    Workspace ws;
    face_test::write_file(ws.dir / "junk_only/junk.png", "text, not an image");
    face_test::write_file(ws.dir / "a_file", "not a directory");
    fs::create_directories(ws.dir / "empty");
    for (const std::string dir : {"missing", "", "junk_only", "a_file", "empty"}) {
        const RunResult r = ws.run({"--samples-dir", dir}, "run.log");
        const std::string expected =
            report(dir, "models/face_recognizer.yml") + "error: no readable Veyra samples found under " + dir + "\n";
        EXPECT_EQ(r.status, 3) << dir;
        EXPECT_EQ(r.out, expected) << dir;
        EXPECT_EQ(r.err, "") << dir;
        EXPECT_EQ(face_test::read_file(ws.dir / "run.log"), expected) << dir;
        EXPECT_FALSE(fs::exists(ws.dir / "models")) << dir;
    }
}

TEST(StartupSamples, AnUnreadableSubdirectoryIsStatusThreeNotACrash) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    Workspace ws;
    const auto open_perms = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_all;
    fs::permissions(ws.dir.path, open_perms);
    fs::create_directories(ws.dir / "faces/veyra/locked");
    face_test::write_image(ws.dir / "faces/veyra/locked/c.png", face_test::noise_image(160, 160, 3));
    fs::permissions(ws.dir / "faces/veyra/locked", fs::perms::owner_all);

    RunRequest request;
    request.program = kProgram;
    request.args = {"--cascade", "x"};
    request.cwd = ws.dir.path.string();
    request.as_nobody = true;
    const RunResult r = face_test::run_program(request);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, report("faces/veyra", "models/face_recognizer.yml") +
                         "error: no readable Veyra samples found under faces/veyra\n");
}

TEST(StartupModelFiles, UnwritableModelOrLabelsIsStatusEightWithoutTheTrainedLine) {
    Workspace ws;
    fs::create_directories(ws.dir / "taken.yml");
    face_test::write_file(ws.dir / "plain", "a file, not a directory");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--model", "taken.yml"}, "error: failed to write model: taken.yml\n"},
        {{"--model", "plain/m.yml"}, "error: failed to write model: plain/m.yml\n"},
        {{"--model", "/dev/full"}, "error: failed to write model: /dev/full\n"},
        {{"--labels", "/dev/full"}, "error: failed to write labels: /dev/full\n"},
        {{"--labels", "plain/labels.txt"}, "error: failed to write labels: plain/labels.txt\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--cascade", "missing.xml"});
        const RunResult r = ws.run(args, "run.log");
        const std::string model = c.args[0] == "--model" ? c.args[1] : "models/face_recognizer.yml";
        const std::string expected = report("faces/veyra", model) +
                                     "loaded Veyra samples: 2\n"
                                     "flat_samples: 1, staged_samples: 1, manifest_metadata_samples: 0\n"
                                     "stage_samples day: 1\n"
                                     "stage_samples flat: 1\n" +
                                     c.error;
        EXPECT_EQ(r.status, 8) << c.args[1];
        EXPECT_EQ(r.out, expected) << c.args[1];
        EXPECT_EQ(r.err, "") << c.args[1];
        EXPECT_EQ(face_test::read_file(ws.dir / "run.log"), expected) << c.args[1];
    }
}

// A new file renamed over the model would replace it whatever its mode: a read-only model in a folder the user may
// write is refused all the same. Root may write any file, so an unprivileged user runs it.
TEST(StartupModelFiles, AReadOnlyModelInAWritableFolderIsStatusEightAndLeftAsItWas) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    Workspace ws;
    face_test::let_others_in(ws.dir.path);
    const fs::path model = ws.dir / "models/face_recognizer.yml";
    const std::string kept = "%YAML:1.0\n# the model the user keeps\n";
    face_test::write_file(model, kept);
    ASSERT_EQ(::chown((ws.dir / "models").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(model.c_str(), 0444), 0);

    RunRequest request;
    request.program = kProgram;
    request.args = {"--cascade", "missing.xml"};
    request.cwd = ws.dir.path.string();
    request.as_nobody = true;
    const RunResult r = face_test::run_program(request);
    EXPECT_EQ(r.status, 8) << r.out << r.err;
    EXPECT_EQ(r.out, report("faces/veyra", "models/face_recognizer.yml") +
                         kTrainedTail.substr(0, kTrainedTail.rfind("trained")) +
                         "error: failed to write model: models/face_recognizer.yml\n");
    EXPECT_TRUE(face_test::read_file(model) == kept) << "the read-only model was replaced";
    EXPECT_FALSE(fs::exists(ws.dir / "models/labels.txt"));
}

TEST(StartupModelFiles, BareFileNamesLandInTheWorkingDirectory) {
    Workspace ws;
    const RunResult r = ws.run({"--model", "model.yml", "--labels", "labels.txt", "--cascade", "missing.xml"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("trained and saved model\n"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(ws.dir / "model.yml"));
    EXPECT_EQ(face_test::read_file(ws.dir / "labels.txt"), "1 Veyra\n");
}

}  // namespace
