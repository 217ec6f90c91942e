// lumivar_calibrate on logs that lumivar_face itself wrote from real photos: its recommendation is what the
// program then does; plus the choice of thresholds in-process and its answers to bad input.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "program_output.h"
#include "face_programs.h"
#include "sensor_frames.h"
#include "stop_mid_write.h"
#include "test_photos.h"
#include "calibrate/calibration_log.h"
#include "calibrate/calibration_replay.h"
#include "calibrate/threshold_recommendation.h"
#include "core/identity.h"

namespace {

using face_test::fs::path;
using face_test::field;
using face_test::lines_starting;

face_test::RunResult calibrate(const std::vector<std::string> &args, const std::string &cwd = "") {
    face_test::RunRequest request;
    request.program = LUMIVAR_CALIBRATE_BIN;
    request.args = args;
    request.cwd = cwd;
    return face_test::run_program(request);
}

int leading(const std::string &text) { return std::stoi(text); }  // "91/96 (94.8%)" gives 91

// What lumivar_face labelled, from its calibration lines.
struct Labels {
    int faces = 0, candidate_or_better = 0, confirmed = 0, first_confirmation = 0;
};
Labels labels_of(const std::string &out) {
    Labels l;
    for (const std::string &line : lines_starting(out, "calibration frame=")) {
        const std::string label = field(line, "label");
        ++l.faces;
        l.candidate_or_better += label != "Unknown";
        l.confirmed += label == "ConfirmedVeyra";
        if (label == "ConfirmedVeyra" && l.first_confirmation == 0) l.first_confirmation = l.faces;
    }
    return l;
}

// The enrolled person: samples cut from the stills, frames from every 50th frame of the video. The others:
// photos of other people and face-like objects pasted at native size (or reduced) on textured backgrounds.
class CalibrateRealRuns : public ::testing::Test {
protected:
    void SetUp() override {
        const path media = face_test::media_dir();
        if (!face_test::fs::exists(media / "franck.mp4"))
            GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
        for (const path &still : face_test::enrolled_stills()) {
            const cv::Mat grey = cv::imread(still.string(), cv::IMREAD_GRAYSCALE);
            const cv::Rect face = face_test::largest_face(grey, 100);
            if (face.empty()) continue;
            cv::Mat crop;
            cv::resize(grey(face), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
            face_test::write_image(scratch / "samples" / (still.stem().string() + ".png"), crop);
        }
        cv::VideoCapture video((media / "franck.mp4").string());
        ASSERT_TRUE(video.isOpened());
        cv::Mat frame;
        for (int index = 0, written = 0; video.grab(); ++index)
            if (index % 50 == 0 && video.retrieve(frame))
                face_test::write_image(scratch / "enrolled" / frame_name(++written), frame);
        int written = 0;
        for (const char *name : {"audrey.jpg", "cage.jpg", "SeanConnery.jpg", "ironman.jpg", "joconde.jpg",
                                 "kim1_crop.jpg", "obama4_crop.jpg", "queen20_crop.jpg", "chuck_crop.jpg",
                                 "bill-murray-snl_crop.jpg", "walter2_crop.jpg", "ri_1_crop.jpg"}) {
            cv::Mat photo = face_test::read_photo((media / name).string());
            const double fit = std::min({1.0, 640.0 / photo.rows, 800.0 / photo.cols});
            if (fit < 1.0) cv::resize(photo, photo, cv::Size(), fit, fit, cv::INTER_AREA);  // never enlarge: blur
            // Whatever the detector finds here is someone else, the background's texture included.
            cv::Mat canvas = face_test::textured_background(1280, 720, written);
            face_test::paste(canvas, photo, 300, 40, 20);
            face_test::write_image(scratch / "others" / frame_name(++written), canvas);
        }
    }

    static std::string frame_name(int n) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.png", n);
        return name;
    }

    // lumivar_face on the simulated sensor over one directory of frames, every face logged.
    face_test::RunResult face_run(const std::string &frames, std::vector<std::string> extra,
                                  const std::string &logfile = "") {
        face_test::RunRequest request;
        request.args = face_test::base_args(scratch / "samples", scratch, 1000);
        request.args.push_back("--calibration-log");
        request.args.insert(request.args.end(), extra.begin(), extra.end());
        request.env["LUMIVAR_SIM_FRAMES"] = (scratch / frames).string();
        if (!logfile.empty()) request.env["LOGFILE"] = (scratch / logfile).string();
        request.timeout_seconds = 600;
        return face_test::run_program(request);
    }

    face_test::ScratchDir scratch;
};

TEST_F(CalibrateRealRuns, RecommendationIsWhatLumivarFaceThenDoesAndNamesNoneOfTheOthers) {
    const face_test::RunResult enrolled = face_run("enrolled", {}, "enrolled.log");
    const face_test::RunResult others = face_run("others", {});
    ASSERT_EQ(enrolled.status, 0) << enrolled.out;
    ASSERT_EQ(others.status, 0) << others.out;
    face_test::write_file(scratch / "others.out", others.out);  // saved standard output serves as a log too

    const std::vector<std::string> logs = {"--enrolled", (scratch / "enrolled.log").string(), "--others",
                                           (scratch / "others.out").string()};
    std::vector<std::string> with_plot = logs;
    // The plot's ending may be in any case.
    with_plot.insert(with_plot.end(), {"--plot", (scratch / "plot.Png").string()});
    const face_test::RunResult result = calibrate(with_plot);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.find("warning"), std::string::npos) << result.out;

    // The replay with the logged thresholds gives the labels the runs logged.
    const Labels first = labels_of(enrolled.out);
    const std::string current = lines_starting(result.out, "current: ").at(0);
    EXPECT_EQ(leading(field(current, "enrolled_candidate_or_better")), first.candidate_or_better) << current;
    EXPECT_EQ(leading(field(current, "enrolled_confirmed")), first.confirmed) << current;
    const std::string firsts = lines_starting(result.out, "first_confirmation: ").at(0);
    EXPECT_EQ(firsts.substr(0, firsts.find(',')), "first_confirmation: current=" + std::to_string(first.first_confirmation));

    // Run again with the recommended command: the program labels exactly what the replay foretold.
    const std::string use = lines_starting(result.out, "use: lumivar_face ").at(0);
    std::vector<std::string> flags;
    std::istringstream words(use.substr(std::string("use: lumivar_face ").size()));
    for (std::string word; words >> word;) flags.push_back(word);
    ASSERT_EQ(flags.size(), 4u) << use;
    EXPECT_NE(flags[1] + flags[3], "60.0055.00") << "these logs call for other thresholds than the defaults";
    const std::string recommended = lines_starting(result.out, "recommended: ").at(0);
    EXPECT_NE(recommended.find(", false_candidates=0, false_confirmations=0"), std::string::npos) << recommended;
    const Labels again = labels_of(face_run("enrolled", flags).out);
    EXPECT_EQ(again.faces, first.faces);
    EXPECT_EQ(leading(field(recommended, "enrolled_candidate_or_better")), again.candidate_or_better) << recommended;
    EXPECT_EQ(leading(field(recommended, "enrolled_confirmed")), again.confirmed) << recommended;
    EXPECT_GT(again.confirmed, first.confirmed);
    EXPECT_EQ(field(firsts, "recommended"), std::to_string(again.first_confirmation)) << firsts;
    const face_test::RunResult others_again = face_run("others", flags);
    EXPECT_EQ(labels_of(others_again.out).candidate_or_better, 0) << others_again.out;
    EXPECT_GE(labels_of(others_again.out).faces, 8);

    // The picture: both groups and the recommended line in their colours.
    const cv::Mat plot = cv::imread((scratch / "plot.Png").string());
    ASSERT_EQ(plot.size(), cv::Size(1000, 600));
    auto columns_with = [&](cv::Scalar colour) {
        cv::Mat mask;
        cv::inRange(plot, colour - cv::Scalar::all(12), colour + cv::Scalar::all(12), mask);
        cv::Mat columns;
        cv::reduce(mask, columns, 0, cv::REDUCE_MAX);
        return cv::countNonZero(columns);
    };
    EXPECT_GE(columns_with({200, 90, 0}), 3);     // recommended threshold
    EXPECT_GE(columns_with({134, 198, 115}), 20);  // enrolled bars (green at 0.55 on white)
    EXPECT_GE(columns_with({137, 148, 236}), 20);  // others' bars

    // The same as SVG; a log holding two runs replays each with a fresh window; the enrolled person as their
    // own "others" cannot be told apart.
    const std::string both = face_test::read_file(scratch / "enrolled.log") + face_test::read_file(scratch / "enrolled.log");
    face_test::write_file(scratch / "twice.log", both);
    const face_test::RunResult twice = calibrate({"--enrolled", (scratch / "twice.log").string(), "--others",
                                                  (scratch / "others.out").string(), "--plot",
                                                  (scratch / "plot.SVG").string()});
    EXPECT_EQ(twice.status, 0) << twice.out;
    const std::vector<std::string> twice_firsts = lines_starting(twice.out, "first_confirmation: ");
    ASSERT_EQ(twice_firsts.size(), 2u) << twice.out;
    EXPECT_EQ(twice_firsts[0].substr(0, twice_firsts[0].find(", log=")),
              twice_firsts[1].substr(0, twice_firsts[1].find(", log=")));
    EXPECT_NE(twice_firsts[1].find("twice.log (run 2)"), std::string::npos);
    EXPECT_EQ(leading(field(lines_starting(twice.out, "current: ").at(0), "enrolled_confirmed")), 2 * first.confirmed);
    const std::string svg = face_test::read_file(scratch / "plot.SVG");
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find(">recommended candidate"), std::string::npos);

    const face_test::RunResult same = calibrate({"--enrolled", (scratch / "enrolled.log").string(), "--others",
                                                 (scratch / "enrolled.log").string()});
    EXPECT_EQ(same.status, 6) << same.out;
    EXPECT_EQ(lines_starting(same.out, "use: ").size(), 0u);
    EXPECT_NE(same.out.find("lumivar_enroll"), std::string::npos) << same.out;
}

TEST(ThresholdRecommendation, StaysAMarginUnderTheOthersAndPassesAtMostTheAllowedFalseCandidates) {
    GroupSummary enrolled, others;
    enrolled.distances = {40.0, 50.0, 59.999999, 70.0};
    others.distances = {66.0, 80.0, 90.0};
    // 5 % under the others' closest, 66, is 62.70.
    Recommendation r = recommend_thresholds(enrolled, others, 0);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.confirmed_text, "62.70");
    EXPECT_EQ(r.candidate_text, "62.70");
    EXPECT_EQ(r.thresholds.confirmed, 62.7);
    EXPECT_EQ(r.confirmed_limit, 62.7);
    // One false candidate allowed: the candidate threshold may pass 66 but stays 5 % under 80.
    r = recommend_thresholds(enrolled, others, 1);
    EXPECT_EQ(r.candidate_text, "76.00");
    EXPECT_EQ(r.confirmed_text, "62.70");
    // Every other face allowed: no limit, so just above the highest enrolled distance.
    EXPECT_EQ(recommend_thresholds(enrolled, others, 3).candidate_text, "70.01");
    // Nothing of the enrolled person under the limit: no recommendation.
    others.distances = {41.0};
    EXPECT_FALSE(recommend_thresholds(enrolled, others, 0).found);
}

// One calibration line as lumivar_face's own writer makes it.
std::string face_line(int frame, double distance, const std::string &quality = "accepted",
                      const std::string &stage = "flat", const std::string &sample = "a.png",
                      IdentityLabel label = IdentityLabel::Unknown, const Options &options = Options()) {
    IdentityDecision decision;
    decision.label = label_name(label);
    decision.confidence = distance;
    FaceQuality gate;
    gate.face_size = {120, 120};
    gate.sharpness = 80.0;
    gate.brightness = 120.0;
    gate.contrast = 40.0;
    gate.reason = quality;
    RunStats stats;
    stats.processed_frames = frame;
    stats.last_best_profile_stage = stage;
    stats.last_matched_sample = sample;
    return calibration_line(decision, gate, options, ConfirmationWindow{{0}, 0}, stats);
}

// What lumivar_face writes, lumivar_calibrate reads back as the same face; what it could not have measured
// (a distance beyond any LBPH distance, or none at all) is no face.
TEST(CalibrationLine, ReadsBackWhatLumivarFaceWrites) {
    Options options;
    options.candidate_threshold = 61.25;
    options.confirmed_threshold = 0.5;
    for (int label = 0; label < 3; ++label)
        for (int reason = 0; reason < kQualityReasonCount; ++reason)
            for (const double distance : {0.0, 47.1234564, 1e9})
                for (const auto &[stage, sample] : std::vector<std::pair<std::string, std::string>>{
                         {"flat", "unknown"}, {"day, matched_sample=x", "a, label=Unknown.png"}, {"", ""}}) {
                    const int frame = 1 + label * 1000003 + reason;
                    const std::string line = face_line(frame, distance, kCalibrationReasons[reason], stage, sample,
                                                       static_cast<IdentityLabel>(label), options);
                    LoggedFace face;
                    face.line = 77;
                    double candidate = 0.0, confirmed = 0.0;
                    ASSERT_TRUE(parse_calibration_line(line, face, candidate, confirmed)) << line;
                    EXPECT_EQ(face.frame, frame) << line;
                    EXPECT_NEAR(face.distance, distance, 5e-7) << line;
                    EXPECT_EQ(face.label, static_cast<IdentityLabel>(label)) << line;
                    EXPECT_EQ(face.reason, reason) << line;
                    EXPECT_EQ(face.line, 77u);
                    EXPECT_EQ(candidate, 61.25);
                    EXPECT_EQ(confirmed, 0.5);
                }
    for (const double distance : {1.0000001e9, 1e20, HUGE_VAL, std::nan("")}) {
        LoggedFace face;
        double candidate = 0.0, confirmed = 0.0;
        EXPECT_FALSE(parse_calibration_line(face_line(1, distance), face, candidate, confirmed)) << distance;
    }
}

// The replay keeps a running count of the window's hits; lumivar_face's own window (every entry kept and
// summed) must give the same labels for every window length, shorter or longer than the run.
TEST(CalibrationReplay, LabelsEveryFaceAsLumivarFaceWouldWhateverTheWindowLength) {
    std::mt19937 random(22);
    std::uniform_real_distribution<double> distance(45.0, 65.0);
    LoggedRun run;
    run.name = "run";
    for (int i = 0; i < 400; ++i) {
        LoggedFace face;
        face.frame = i + 1;
        face.reason = random() % 8 == 0 ? 5 : 0;  // too_blurry now and then: a miss
        face.distance = face.accepted() ? distance(random) : 0.0;
        run.faces.push_back(face);
    }
    for (const int window : {1, 2, 3, 10, 399, 400, 401, INT_MAX})
        for (const int min_hits : {1, 3, 150})
            for (const bool own_settings : {true, false}) {
                if (min_hits > window) continue;
                run.settings = {"faces", 60.0, 55.0, own_settings ? window : 10, own_settings ? min_hits : 5};
                const std::optional<Thresholds> thresholds =
                    own_settings ? std::nullopt : std::optional<Thresholds>(Thresholds{58.0, 52.5});
                const std::optional<WindowSettings> window_settings =
                    own_settings ? std::nullopt : std::optional<WindowSettings>(WindowSettings{window, min_hits});
                Options rules;
                rules.candidate_threshold = thresholds ? 58.0 : 60.0;
                rules.confirmed_threshold = thresholds ? 52.5 : 55.0;
                rules.confirm_window = window;
                rules.confirm_min_hits = min_hits;
                ConfirmationWindow kept;
                uint64_t candidates = 0, confirmed = 0, first = 0;
                for (size_t i = 0; i < run.faces.size(); ++i) {
                    LoggedFace &face = run.faces[i];
                    const IdentityLabel label = label_face(face.accepted(), 1, face.distance, rules, kept);
                    candidates += label == IdentityLabel::CandidateVeyra;
                    confirmed += label == IdentityLabel::ConfirmedVeyra;
                    if (label == IdentityLabel::ConfirmedVeyra && first == 0) first = i + 1;
                    // As logged, but for every 50th face: those differ from what the replay finds.
                    face.label = i % 50 == 7 ? (label == IdentityLabel::Unknown ? IdentityLabel::ConfirmedVeyra
                                                                                : IdentityLabel::Unknown)
                                             : label;
                }
                const ReplayFigures figures = replay_group({run}, thresholds, window_settings);
                const std::string where = "window " + std::to_string(window) + ", min hits " + std::to_string(min_hits);
                EXPECT_EQ(figures.faces, 400u) << where;
                EXPECT_EQ(figures.candidates, candidates) << where;
                EXPECT_EQ(figures.confirmed, confirmed) << where;
                EXPECT_EQ(figures.first_confirmation, std::vector<uint64_t>{first}) << where;
                EXPECT_EQ(figures.unlike_log, own_settings ? 8u : 0u) << where;
            }

    // A run exactly as long as its window, each face a strict hit and every one needed: lumivar_face confirmed
    // the last face only, and so does the replay.
    LoggedRun exact;
    exact.settings = {"faces", 60.0, 55.0, 5, 5};
    for (int i = 0; i < 5; ++i) {
        LoggedFace face;
        face.frame = i + 1;
        face.distance = 50.0;
        face.label = i == 4 ? IdentityLabel::ConfirmedVeyra : IdentityLabel::CandidateVeyra;
        exact.faces.push_back(face);
    }
    const ReplayFigures replayed = replay_group({exact}, std::nullopt);
    EXPECT_EQ(replayed.confirmed, 1u);
    EXPECT_EQ(replayed.first_confirmation, std::vector<uint64_t>{5});
    EXPECT_EQ(replayed.unlike_log, 0u);
}

std::string faces_at(double distance, int count, const std::string &quality = "accepted") {
    std::string log;
    for (int i = 1; i <= count; ++i) log += face_line(i, distance, quality) + "\n";
    return log;
}

// Runs with different window settings, one of them settings lumivar_face refuses: the report says so, and the
// command it prints is one lumivar_face starts with, with the window settings its figures were replayed with.
TEST(CalibrateCommand, PrintsOnlyWhatLumivarFaceAcceptsWithTheWindowItReplayed) {
    face_test::ScratchDir dir;
    const std::string refused = (dir / "refused.log").string(), usable = (dir / "usable.log").string(),
                      others = (dir / "others.log").string();
    face_test::write_file(refused, "confirm_window: 3\nconfirm_min_hits: 4\n" + faces_at(50.0, 10));
    face_test::write_file(usable, "confirm_window: 6\nconfirm_min_hits: 3\n" + faces_at(50.0, 10));
    face_test::write_file(others, "confirm_window: 6\nconfirm_min_hits: 3\n" + faces_at(90.0, 4));

    const face_test::RunResult r = calibrate({"--enrolled", refused, "--enrolled", usable, "--others", others});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: lumivar_face refuses the window settings 3/4 of " + refused +
                         " (--confirm-min-hits must be <= --confirm-window)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("warning: the logs differ in confirm_window/confirm_min_hits: 3/4 (in " + refused +
                         "); 6/3 (in " + usable + "); recommended thresholds are replayed in every run with 6/3"),
              std::string::npos)
        << r.out;
    // Both enrolled runs replayed with 6/3: every face a strict hit, confirmed from the third on.
    EXPECT_NE(r.out.find("recommended: candidate_threshold=85.50, confirmed_threshold=85.50, "
                         "enrolled_candidate_or_better=20/20 (100.0%), enrolled_confirmed=16/20 (80.0%), "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("first_confirmation: current=never, recommended=3, log=" + refused), std::string::npos);
    const std::string use = lines_starting(r.out, "use: lumivar_face ").at(0);
    EXPECT_EQ(use, "use: lumivar_face --candidate-threshold 85.50 --confirmed-threshold 85.50 --confirm-window 6 "
                   "--confirm-min-hits 3");

    // lumivar_face itself takes the command: it gets past its command line to the (missing) samples.
    face_test::RunRequest face;
    face.program = LUMIVAR_FACE_BIN;
    std::istringstream words(use.substr(std::string("use: lumivar_face ").size()));
    for (std::string word; words >> word;) face.args.push_back(word);
    face.args.insert(face.args.end(), {"--samples-dir", (dir / "no_samples").string()});
    const face_test::RunResult started = face_test::run_program(face);
    EXPECT_EQ(started.status, kNoSamplesStatus) << started.out << started.err;

    // No run with settings lumivar_face takes: its defaults, which the command then leaves out.
    face_test::write_file(dir / "others_refused.log", "confirm_window: 3\nconfirm_min_hits: 4\n" + faces_at(90.0, 4));
    const face_test::RunResult defaults =
        calibrate({"--enrolled", refused, "--others", (dir / "others_refused.log").string()});
    EXPECT_EQ(defaults.status, 0) << defaults.out;
    EXPECT_NE(defaults.out.find("\nuse: lumivar_face --candidate-threshold 85.50 --confirmed-threshold 85.50\n"),
              std::string::npos)
        << defaults.out;
    EXPECT_NE(defaults.out.find("first_confirmation: current=never, recommended=5, log=" + refused), std::string::npos)
        << defaults.out;
}

// The report's figures: nearest-rank percentiles of the accepted distances, and lines with a distance no LBPH
// model gives named, counted and left out of every figure and threshold.
TEST(CalibrateReport, PercentilesByNearestRankAndImpossibleDistancesSkipped) {
    face_test::ScratchDir dir;
    std::string enrolled_log;
    for (int d = 1; d <= 20; ++d) {
        enrolled_log += face_line(d, d) + "\n";
        if (d == 5) enrolled_log += face_line(100, 1e20) + "\n" + face_line(101, HUGE_VAL) + "\n";
        if (d == 9) {  // also a distance in exponent form, as a hand-edited log may hold it
            const std::string rest = face_line(0, 1).substr(face_line(0, 1).find(", label="));
            enrolled_log += face_line(102, std::nan("")) + "\ncalibration frame=103, confidence=1e20" + rest + "\n";
        }
    }
    face_test::write_file(dir / "enrolled.log", enrolled_log);
    // A face refused by --liveness is a rejection of its own kind, counted only where there is one.
    face_test::write_file(dir / "others.log", faces_at(12.0, 3) + face_line(50, 0.0, "flat") + "\n");
    const std::string enrolled = (dir / "enrolled.log").string();
    const face_test::RunResult r = calibrate({"--enrolled", enrolled, "--others", (dir / "others.log").string(),
                                              "--max-false-candidates", "3"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("enrolled_faces: evaluated=20, accepted=20, too_small=0, too_dark=0, too_bright=0, "
                         "low_contrast=0, too_blurry=0\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("others_faces: evaluated=4, accepted=3, too_small=0, too_dark=0, too_bright=0, "
                         "low_contrast=0, too_blurry=0, flat=1\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nenrolled_distances: min=1.000000, p5=1.000000, p50=10.000000, p95=19.000000, "
                         "max=20.000000\n"),
              std::string::npos)
        << r.out;
    for (const int line : {6, 7, 12, 13})
        EXPECT_NE(r.out.find("warning: " + enrolled + ":" + std::to_string(line) + ": malformed calibration line\n"),
                  std::string::npos)
            << line << "\n" << r.out;
    EXPECT_NE(r.out.find("\nmalformed_lines: 4\n"), std::string::npos) << r.out;
    // Confirmed 5 % under the others' 12, in hundredths rounded down; every other face may be a candidate:
    // just above the enrolled 20.
    EXPECT_NE(r.out.find("\nuse: lumivar_face --candidate-threshold 20.01 --confirmed-threshold 11.39\n"),
              std::string::npos)
        << r.out;
}

TEST(CalibrateBadInput, EachProblemGetsAClearMessageAndItsOwnStatus) {
    face_test::ScratchDir dir;
    const std::string good = (dir / "good.log").string(), others = (dir / "others.log").string();
    // Thresholds that are no finite number are malformed report lines, not thresholds of nan or inf.
    face_test::write_file(good, "candidate_threshold: nan\nconfirmed_threshold: inf\n"
                                "samples_dir: faces/veyra\nconfirm_window: 4\nconfirm_min_hits: 2\n" +
                                    faces_at(50.0, 3) + face_line(4, 51.0, "accepted", "day\\n, odd", "x, y.png") +
                                    "\ncalibration frame=5, confidence=5\n" + faces_at(52.0, 2) +
                                    "calibration frame=8, confidence=50.000000, label=Maybe\n");
    face_test::write_file(others, faces_at(90.0, 4));

    // Malformed lines are named and counted; the rest is used. No start-up report: default window, said so.
    face_test::RunResult r = calibrate({"--enrolled", good, "--others", others});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: " + good + ":1: malformed start-up report line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: " + good + ":2: malformed start-up report line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: " + good + ":10: malformed calibration line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: " + good + ":13: malformed calibration line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("malformed_lines: 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("enrolled_faces: evaluated=6, accepted=6,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: " + others + ": no confirm_window"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: the logs differ in confirm_window/confirm_min_hits"), std::string::npos);
    EXPECT_NE(r.out.find("use: lumivar_face --candidate-threshold 85.50 --confirmed-threshold 85.50 "
                         "--confirm-window 4 --confirm-min-hits 2\n"),
              std::string::npos)
        << r.out;

    // Read in blocks: lines that cross a block's end arrive whole, a line far too long is malformed.
    face_test::write_file(dir / "long.log", faces_at(50.0, 3000) + "calibration " + std::string(100000, '7') + "\n" +
                                                faces_at(50.0, 3000));
    r = calibrate({"--enrolled", (dir / "long.log").string(), "--others", others});
    EXPECT_NE(r.out.find("enrolled_faces: evaluated=6000, accepted=6000,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("long.log:3001: malformed calibration line"), std::string::npos) << r.out;

    face_test::write_file(dir / "report_only.log", "samples_dir: faces/veyra\nsummary: frames=0\n");
    face_test::write_file(dir / "rejected.log", faces_at(0.0, 3, "too_blurry"));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"--enrolled", (dir / "missing.log").string(), "--others", others}, 3, "error: cannot read log: "},
        {{"--enrolled", dir.path.string(), "--others", others}, 3, "error: cannot read log: "},
        {{"--enrolled", good, "--others", (dir / "report_only.log").string()}, 4, "error: no calibration lines in "},
        {{"--enrolled", good, "--others", (dir / "rejected.log").string()}, 5,
         "error: no accepted face among the others logs"},
        {{"--enrolled", good, "--others", others, "--plot", (dir / "no/such/dir/p.png").string()}, 7,
         "error: failed to write plot: "},
    };
    for (const auto &c : cases) {
        r = calibrate(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << " " << c.args[3] << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    EXPECT_FALSE(face_test::fs::exists(dir / "no/such/dir"));
    // The plot's ending in any case chooses its format.
    r = calibrate({"--enrolled", good, "--others", others, "--plot", (dir / "upper.SVG").string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(face_test::read_file(dir / "upper.SVG").rfind("<svg ", 0), 0u);

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--enrolled", good},
             {"--enrolled", good, "--others", others, "--max-false-candidates", "-1"},
             {"--enrolled", good, "--others", others, "--max-false-candidates", "2x"},
             {"--enrolled", good, "--others", others, "--plot", "p.jpg"},
             {"--enrolled", good, "--others"},
             {"--bogus"}}) {
        r = calibrate(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_FALSE(r.err.empty()) << args.back();
        EXPECT_EQ(r.out.rfind("Usage: ", 0), 0u) << r.out;
    }
}

}  // namespace

namespace {

TEST(CalibratePlot, IsWrittenWholeBesideTheUsersFilesAndThroughALink) {
    face_test::ScratchDir dir;
    const std::string good = (dir / "good.log").string(), others = (dir / "others.log").string();
    face_test::write_file(good, "confirm_window: 4\nconfirm_min_hits: 2\n" + faces_at(50.0, 4));
    face_test::write_file(others, faces_at(90.0, 4));
    face_test::write_file(dir / "plot.png.partial", "the user's own file");
    face_test::write_file(dir / "old.png", "an older plot");
    face_test::fs::create_symlink("old.png", dir / "plot.png");

    const face_test::RunResult r = calibrate({"--enrolled", good, "--others", others, "--plot", (dir / "plot.png").string()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(face_test::read_file(dir / "plot.png.partial"), "the user's own file");
    EXPECT_TRUE(face_test::fs::is_symlink(dir / "plot.png"));
    EXPECT_EQ(cv::imread((dir / "old.png").string()).size(), cv::Size(1000, 600));
    std::vector<std::string> names;
    for (const auto &entry : face_test::fs::directory_iterator(dir.path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"good.log", "old.png", "others.log", "plot.png", "plot.png.partial"}));

    // A signal while the plot is being written ends the program at once: no plot, and no temporary file.
    face_test::RunRequest request;
    request.program = LUMIVAR_CALIBRATE_BIN;
    request.args = {"--enrolled", good, "--others", others, "--plot", (dir / "signalled.png").string()};
    std::string caught;
    for (int attempt = 0; attempt < 20 && caught.empty(); ++attempt) {
        face_test::CreationWatch watch(dir.path);
        face_test::Child child;
        face_test::start_program(request, child);
        caught = watch.stop_writer(child.pid, ".signalled.png.", 60);
        if (caught.empty()) {
            face_test::wait_program(child, 60);
            face_test::fs::remove(dir / "signalled.png");
            continue;
        }
        ::kill(child.pid, SIGTERM);
        ::kill(child.pid, SIGCONT);
        EXPECT_EQ(face_test::wait_program(child, 60).status, 128 + SIGTERM);
    }
    ASSERT_FALSE(caught.empty()) << "the plot was never caught being written";
    std::vector<std::string> after;
    for (const auto &entry : face_test::fs::directory_iterator(dir.path)) after.push_back(entry.path().filename());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, names);
}

}  // namespace
