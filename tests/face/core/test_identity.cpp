// Identity decision: the rolling confirmation window, the label rules, the run counters,
// the closest training sample and the calibration line.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include <opencv2/imgproc.hpp>

#include "core/identity.h"
#include "lbph_training.h"
#include "program_output.h"
#include "synthetic_images.h"
#include "face_files.h"

namespace {

// ---------------------------------------------------------------- the window

TEST(ConfirmationWindow, KeepsOnlyTheNewestEntriesAndCountsTheirHits) {
    ConfirmationWindow window;
    const int pushes[] = {1, 1, 0, 1, 0, 0, 1};
    const int expected_hits[] = {1, 2, 2, 2, 1, 1, 1};  // window of 3
    for (int i = 0; i < 7; ++i) {
        push_confirmation_hit(window, pushes[i], 3);
        EXPECT_LE(window.entries.size(), 3u);
        EXPECT_EQ(confirmation_hits(window), expected_hits[i]) << "after push " << i;
    }
    EXPECT_EQ(window.entries, (std::deque<uint8_t>{0, 0, 1}));

    ConfirmationWindow single;
    push_confirmation_hit(single, 1, 1);
    push_confirmation_hit(single, 0, 1);
    EXPECT_EQ(single.entries, std::deque<uint8_t>{0});
    EXPECT_EQ(confirmation_hits(single), 0);
    EXPECT_EQ(confirmation_hits(ConfirmationWindow{}), 0);

    // The longest window lumivar_face takes: the count follows every entry in and out as a recount does.
    ConfirmationWindow longest, short_one;
    int recount = 0;
    for (int i = 0; i < 5000; ++i) {
        const int hit = (i * 7919) % 5 < 2 ? 1 : 0;
        push_confirmation_hit(longest, hit, INT_MAX);
        push_confirmation_hit(short_one, hit, 97);
        recount += hit;
    }
    EXPECT_EQ(confirmation_hits(longest), recount);
    EXPECT_EQ(longest.entries.size(), 5000u);
    EXPECT_EQ(confirmation_hits(short_one), std::count(short_one.entries.begin(), short_one.entries.end(), 1));
    EXPECT_EQ(short_one.entries.size(), 97u);
}

// ---------------------------------------------------------------- profile search

TrainingSample sample(const cv::Mat &image, const std::string &stage, const std::string &file) {
    TrainingSample s;
    s.image = image;
    s.metadata.stage = stage;
    s.metadata.file = file;
    s.metadata.sample_id = file;
    return s;
}

TEST(BestProfile, IdenticalSampleIsReportedWithDistanceZero) {
    const cv::Mat probe = face_test::noise_image(160, 160, 5);
    const std::vector<TrainingSample> samples = {sample(face_test::noise_image(160, 160, 6), "a", "a/1.png"),
                                                 sample(probe.clone(), "b", "b/2.png"),
                                                 sample(face_test::noise_image(160, 160, 7), "c", "c/3.png")};
    const ProfileMatch match = find_best_profile(probe, samples);
    EXPECT_EQ(match.sample_index, 1);
    EXPECT_EQ(match.distance, 0.0);
    EXPECT_EQ(match.metadata.file, "b/2.png");
    EXPECT_EQ(match.metadata.stage, "b");
}

TEST(BestProfile, DistanceIsTheDifferenceNormPerPixelAndTiesKeepTheEarlierSample) {
    const cv::Mat probe(160, 160, CV_8UC1, cv::Scalar(20));
    // 10 below and 10 above the probe: the same distance, sqrt(25600 * 100) / 25600.
    const std::vector<TrainingSample> samples = {
        sample(cv::Mat(160, 160, CV_8UC1, cv::Scalar(60)), "far", "far.png"),
        sample(cv::Mat(160, 160, CV_8UC1, cv::Scalar(10)), "below", "below.png"),
        sample(cv::Mat(160, 160, CV_8UC1, cv::Scalar(30)), "above", "above.png")};
    const ProfileMatch match = find_best_profile(probe, samples);
    EXPECT_EQ(match.sample_index, 1);
    EXPECT_EQ(match.metadata.file, "below.png");
    EXPECT_DOUBLE_EQ(match.distance, 0.0625);
}

TEST(BestProfile, EmptyOrMismatchedSamplesAreSkippedAndNoneLeavesTheDefault) {
    const cv::Mat probe(160, 160, CV_8UC1, cv::Scalar(100));
    const ProfileMatch none = find_best_profile(probe, {});
    EXPECT_EQ(none.sample_index, -1);
    EXPECT_EQ(none.distance, 0.0);
    EXPECT_EQ(none.metadata.stage, "flat");
    EXPECT_EQ(none.metadata.file, "");

    const std::vector<TrainingSample> samples = {
        sample(cv::Mat(), "empty", "empty.png"),
        sample(cv::Mat(100, 100, CV_8UC1, cv::Scalar(100)), "small", "small.png"),
        sample(cv::Mat(160, 160, CV_8UC1, cv::Scalar(90)), "real", "real.png")};
    const ProfileMatch match = find_best_profile(probe, samples);
    EXPECT_EQ(match.sample_index, 2);
    EXPECT_EQ(match.metadata.file, "real.png");

    const ProfileMatch only_empty = find_best_profile(probe, {samples[0]});
    EXPECT_EQ(only_empty.sample_index, -1);
    EXPECT_EQ(only_empty.distance, 0.0);
}

// ---------------------------------------------------------------- the decision

// A real LBPH model of "Veyra" trained on noise textures, and three crops whose distances to it
// are measured once: `strict` (closest), `between` and `stranger` (farthest). Thresholds are then set
// exactly at measured distances, so the inclusive bounds are exercised with real predictions.
class IdentityDecisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<cv::Mat> images;
        for (unsigned seed = 10; seed < 14; ++seed) {
            cv::Mat image = face_test::noise_image(160, 160, seed);
            cv::GaussianBlur(image, image, cv::Size(3, 3), 0.8);
            images.push_back(image);
            samples.push_back(sample(image, "day" + std::to_string(seed), "day/" + std::to_string(seed) + ".png"));
        }
        recognizer = face_test::train_lbph(images, std::vector<int>(images.size(), 1));

        strict = samples[0].image.clone();
        between = strict.clone();
        cv::Mat jitter = face_test::noise_image(160, 160, 99);
        cv::addWeighted(between, 0.6, jitter, 0.4, 0.0, between);
        stranger = face_test::checkerboard(160, 160, 60, 190);
        cv::GaussianBlur(stranger, stranger, cv::Size(0, 0), 2.0);
        cv::Mat texture = face_test::noise_image(160, 160, 77);
        cv::addWeighted(stranger, 0.7, texture, 0.3, 0.0, stranger);

        strict_confidence = measure(strict);
        between_confidence = measure(between);
        stranger_confidence = measure(stranger);
        ASSERT_LT(strict_confidence + 1.0, between_confidence);
        ASSERT_LT(between_confidence + 1.0, stranger_confidence);

        options.confirmed_threshold = strict_confidence;
        options.candidate_threshold = between_confidence;
    }

    FaceQuality gate(const cv::Mat &crop) {
        Options lenient;
        lenient.quality_min_sharpness = 0.0;
        return evaluate_face_quality(crop, lenient);
    }

    double measure(const cv::Mat &crop) {
        ConfirmationWindow scratch_window;
        RunStats scratch_stats;
        const FaceQuality quality = gate(crop);
        EXPECT_TRUE(quality.accepted) << quality.reason;
        const IdentityDecision d = decide_identity(quality, crop, *recognizer, samples, Options{},
                                                   scratch_window, scratch_stats, logger);
        EXPECT_EQ(d.predicted_label, 1);
        return d.confidence;
    }

    IdentityDecision face(const cv::Mat &crop) {
        return decide_identity(gate(crop), crop, *recognizer, samples, options, window, stats, logger);
    }

    IdentityDecision rejected_face() {
        const cv::Mat tiny = face_test::checkerboard(60, 100, 90, 170);
        return decide_identity(evaluate_face_quality(tiny, options), tiny, *recognizer, samples, options,
                               window, stats, logger);
    }

    std::vector<TrainingSample> samples;
    cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer;
    cv::Mat strict, between, stranger;
    double strict_confidence = 0, between_confidence = 0, stranger_confidence = 0;
    Options options;
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;
};

struct Step {
    char face;  // s strict, b between, x stranger, r rejected
    const char *label;
    int hits;
};

TEST_F(IdentityDecisionTest, ConfirmsOnTheFifthStrictHitThenDecaysAsMissesPushHitsOut) {
    const Step steps[] = {
        {'s', "CandidateVeyra", 1}, {'s', "CandidateVeyra", 2}, {'s', "CandidateVeyra", 3},
        {'s', "CandidateVeyra", 4}, {'s', "ConfirmedVeyra", 5},
        // rejected faces push zeros, the five hits stay inside the window of ten
        {'r', "Unknown", 5}, {'r', "Unknown", 5}, {'r', "Unknown", 5}, {'r', "Unknown", 5}, {'r', "Unknown", 5},
        {'s', "ConfirmedVeyra", 5},  // the oldest hit falls off, this one replaces it
        {'x', "Unknown", 4},
        {'s', "CandidateVeyra", 4},
        {'b', "CandidateVeyra", 3},  // a candidate, but not a strict hit
        {'s', "CandidateVeyra", 3}, {'s', "CandidateVeyra", 4}, {'s', "ConfirmedVeyra", 5},
    };
    int n = 0;
    for (const Step &step : steps) {
        ++n;
        IdentityDecision d = step.face == 'r' ? rejected_face()
                             : step.face == 's' ? face(strict)
                             : step.face == 'b' ? face(between)
                                                : face(stranger);
        EXPECT_EQ(d.label, step.label) << "face " << n;
        EXPECT_EQ(d.hits, step.hits) << "face " << n;
        EXPECT_EQ(window.entries.size(), static_cast<size_t>(std::min(n, 10))) << "face " << n;
        EXPECT_EQ(stats.last_label, step.label);
    }
    EXPECT_EQ(stats.confirmed_veyra_predictions, 3);
    EXPECT_EQ(stats.candidate_veyra_predictions, 8);
    EXPECT_EQ(stats.unknown_predictions, 6);
    EXPECT_EQ(stats.quality_rejections, 5);
}

TEST_F(IdentityDecisionTest, LimitsAreInclusiveAndABetweenFaceAppendsAMiss) {
    IdentityDecision d = face(strict);  // exactly at the confirmed limit
    EXPECT_EQ(d.confidence, options.confirmed_threshold);
    EXPECT_EQ(window.entries.back(), 1);
    EXPECT_EQ(d.label, "CandidateVeyra");

    d = face(between);  // exactly at the candidate limit
    EXPECT_EQ(d.confidence, options.candidate_threshold);
    EXPECT_EQ(d.label, "CandidateVeyra");
    EXPECT_EQ(window.entries.back(), 0);
    EXPECT_EQ(d.hits, 1);

    options.candidate_threshold = std::nextafter(between_confidence, 0.0);
    d = face(between);
    EXPECT_EQ(d.label, "Unknown");
    options.confirmed_threshold = std::nextafter(strict_confidence, 0.0);
    d = face(strict);
    EXPECT_EQ(window.entries.back(), 0);
    EXPECT_EQ(d.label, "CandidateVeyra");
    EXPECT_EQ(d.hits, 1);
}

TEST_F(IdentityDecisionTest, WindowEqualToMinimumHitsNeedsAFullWindowOfStrictHits) {
    options.confirm_window = 3;
    options.confirm_min_hits = 3;
    const Step steps[] = {{'s', "CandidateVeyra", 1}, {'s', "CandidateVeyra", 2}, {'s', "ConfirmedVeyra", 3},
                          {'b', "CandidateVeyra", 2}, {'s', "CandidateVeyra", 2}, {'s', "CandidateVeyra", 2},
                          {'s', "ConfirmedVeyra", 3}};
    for (const Step &step : steps) {
        const IdentityDecision d = face(step.face == 's' ? strict : between);
        EXPECT_EQ(d.label, step.label);
        EXPECT_EQ(d.hits, step.hits);
        EXPECT_LE(window.entries.size(), 3u);
    }
}

TEST_F(IdentityDecisionTest, TwoFacesPerFrameConfirmOnlyWhileEveryEnrolledFaceIsAStrictHit) {
    auto frame = [&](const cv::Mat &enrolled) {
        const IdentityDecision veyra = face(enrolled);
        const IdentityDecision other = face(stranger);
        EXPECT_EQ(other.label, "Unknown");
        EXPECT_LE(other.hits, 5);
        return veyra.label;
    };
    for (int f = 1; f <= 4; ++f) EXPECT_EQ(frame(strict), "CandidateVeyra") << "frame " << f;
    for (int f = 5; f <= 8; ++f) EXPECT_EQ(frame(strict), "ConfirmedVeyra") << "frame " << f;
    EXPECT_EQ(frame(between), "CandidateVeyra");
    // the miss stays among the enrolled person's last five entries for four more frames
    for (int f = 10; f <= 13; ++f) EXPECT_EQ(frame(strict), "CandidateVeyra") << "frame " << f;
    EXPECT_EQ(frame(strict), "ConfirmedVeyra");
    EXPECT_EQ(stats.unknown_predictions, 14);
    EXPECT_EQ(stats.confirmed_veyra_predictions, 5);
    EXPECT_EQ(stats.candidate_veyra_predictions, 9);
}

TEST_F(IdentityDecisionTest, RejectedFaceIsNeverPredictedAndResetsTheLastValues) {
    for (int i = 0; i < 5; ++i) face(strict);
    ASSERT_EQ(stats.last_label, "ConfirmedVeyra");
    EXPECT_EQ(stats.last_confidence, strict_confidence);
    EXPECT_EQ(stats.last_best_profile_stage, "day10");
    EXPECT_EQ(stats.last_matched_sample, "day/10.png");

    const IdentityDecision d = rejected_face();
    EXPECT_EQ(d.label, "Unknown");
    EXPECT_EQ(d.predicted_label, -1);
    EXPECT_EQ(d.confidence, 0.0);
    EXPECT_EQ(d.profile.sample_index, -1);
    EXPECT_EQ(window.entries.back(), 0);
    EXPECT_EQ(stats.last_label, "Unknown");
    EXPECT_EQ(stats.last_confidence, 0.0);
    EXPECT_EQ(stats.last_best_profile_stage, "flat");
    EXPECT_EQ(stats.last_matched_sample, "unknown");
    EXPECT_EQ(stats.quality_rejections, 1);
    EXPECT_EQ(stats.unknown_predictions, 1);
}

TEST_F(IdentityDecisionTest, ProfileWithoutStageOrFileIsReportedAsUnknown) {
    samples[0].metadata.stage = "";
    samples[0].metadata.file = "";
    const IdentityDecision d = face(strict);
    EXPECT_EQ(d.profile.sample_index, 0);
    EXPECT_EQ(stats.last_best_profile_stage, "unknown");
    EXPECT_EQ(stats.last_matched_sample, "unknown");
}

TEST_F(IdentityDecisionTest, FaceOfAnotherClassIsUnknownWhateverItsDistance) {
    std::vector<cv::Mat> images;
    std::vector<int> labels;
    for (const TrainingSample &s : samples) {
        images.push_back(s.image);
        labels.push_back(1);
    }
    images.push_back(stranger);
    labels.push_back(2);
    recognizer = face_test::train_lbph(images, labels);
    options.candidate_threshold = options.confirmed_threshold = 1e9;

    const IdentityDecision d = face(stranger);
    EXPECT_EQ(d.predicted_label, 2);
    EXPECT_EQ(d.label, "Unknown");
    EXPECT_EQ(window.entries.back(), 0);
    EXPECT_EQ(face(strict).label, "CandidateVeyra");
}

TEST_F(IdentityDecisionTest, ColourCropIsDecidedLikeItsGreyVersion) {
    cv::Mat bgr;
    cv::cvtColor(strict, bgr, cv::COLOR_GRAY2BGR);
    const IdentityDecision d = face(bgr);
    EXPECT_EQ(d.confidence, strict_confidence);
    EXPECT_EQ(d.profile.sample_index, 0);
}

// ---------------------------------------------------------------- the calibration line

std::string real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

TEST_F(IdentityDecisionTest, CalibrationLineOfARejectedFirstFaceInAFreshRun) {
    const face_test::ScratchDir scratch;
    const std::string path = (scratch / "calibration_rejected.log").string();
    logger.file.open(path, std::ios::trunc);
    options = Options{};
    options.calibration_log = true;
    stats.processed_frames = 1;
    rejected_face();
    logger.file.close();
    EXPECT_EQ(face_test::read_file(path),
              "calibration frame=1, confidence=0.000000, label=Unknown, candidate_threshold=60.000000, "
              "confirmed_threshold=55.000000, face_size=60x100, sharpness=0.000000, brightness=0.000000, "
              "contrast=0.000000, quality=too_small, confirmation_hits=0, confirmation_window=1, "
              "best_profile_stage=flat, matched_sample=unknown\n");
}

TEST_F(IdentityDecisionTest, CalibrationLinesOfAcceptedFacesReportTheWindowAsItFills) {
    const face_test::ScratchDir scratch;
    const std::string path = (scratch / "calibration_accepted.log").string();
    logger.file.open(path, std::ios::trunc);
    options.calibration_log = true;
    options.confirm_window = 4;
    options.confirm_min_hits = 2;
    std::vector<IdentityDecision> decisions;
    std::vector<FaceQuality> qualities;
    for (int i = 0; i < 6; ++i) {
        stats.processed_frames = 10 + i;
        qualities.push_back(gate(strict));
        decisions.push_back(face(strict));
    }
    options.calibration_log = false;
    face(strict);  // writes nothing
    logger.file.close();

    const std::vector<std::string> lines = face_test::split_lines(face_test::read_file(path));
    ASSERT_EQ(lines.size(), 6u);
    const int expected_window[] = {1, 2, 3, 4, 4, 4};
    for (int i = 0; i < 6; ++i) {
        const FaceQuality &q = qualities[i];
        const std::string expected =
            "calibration frame=" + std::to_string(10 + i) + ", confidence=" + real(strict_confidence) +
            ", label=" + (i == 0 ? "CandidateVeyra" : "ConfirmedVeyra") +
            ", candidate_threshold=" + real(between_confidence) + ", confirmed_threshold=" +
            real(strict_confidence) + ", face_size=160x160, sharpness=" + real(q.sharpness) +
            ", brightness=" + real(q.brightness) + ", contrast=" + real(q.contrast) +
            ", quality=accepted, confirmation_hits=" + std::to_string(expected_window[i]) +
            ", confirmation_window=" + std::to_string(expected_window[i]) +
            ", best_profile_stage=day10, matched_sample=day/10.png";
        EXPECT_EQ(lines[i], expected) << "line " << i;
    }
}

// ---------------------------------------------------------------- label rules, table-driven

// The rules stated another way: a face is confirmed when it is itself a strict hit of class 1 and,
// counting it, the previous (window - 1) entries hold enough hits; otherwise any class-1 face within
// the candidate limit is a candidate; everything else is unknown.
std::string stated_label(int predicted, double confidence, double confirmed, double candidate,
                         const ConfirmationWindow &before, int window_length, int min_hits) {
    const bool ours = predicted == 1;
    int earlier_hits = 0;
    const int keep = window_length - 1;
    for (int i = 0; i < keep && i < static_cast<int>(before.entries.size()); ++i)
        earlier_hits += before.entries[before.entries.size() - 1 - i];
    if (ours && confidence <= confirmed && earlier_hits + 1 >= min_hits) return "ConfirmedVeyra";
    if (ours && confidence <= candidate) return "CandidateVeyra";
    return "Unknown";
}

TEST_F(IdentityDecisionTest, LabelRulesAgreeWithAnIndependentStatementOverAGrid) {
    // Limits around the measured distance c of the strict crop: {confirmed, candidate} offsets.
    const std::pair<double, double> limits[] = {{1, 2}, {0, 1}, {-1, 1}, {-1, 0}, {-2, -1}, {0, 0}};
    const std::vector<std::deque<uint8_t>> history_entries = {
        {}, {1, 1, 1, 1}, {0, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, {0, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 1, 0, 1, 0, 1, 0, 1}};
    std::vector<ConfirmationWindow> histories;
    for (const std::deque<uint8_t> &entries : history_entries)
        histories.push_back({entries, static_cast<int>(std::count(entries.begin(), entries.end(), 1))});
    const std::pair<int, int> windows[] = {{10, 5}, {10, 1}, {3, 3}, {5, 2}, {1, 1}};

    std::vector<cv::Mat> images;
    std::vector<int> labels;
    for (const TrainingSample &s : samples) images.push_back(s.image), labels.push_back(1);
    images.push_back(stranger), labels.push_back(2);
    const auto two_class = face_test::train_lbph(images, labels);

    std::map<std::string, int> seen;
    for (int model = 0; model < 2; ++model) {
        const cv::face::FaceRecognizer &rec = model == 0 ? *recognizer : *two_class;
        const cv::Mat &crop = model == 0 ? strict : stranger;
        ConfirmationWindow w0;
        RunStats s0;
        const IdentityDecision probe_once = decide_identity(gate(crop), crop, rec, samples, Options{}, w0, s0, logger);
        const double c = probe_once.confidence;
        for (auto [confirmed_offset, candidate_offset] : limits)
            for (const ConfirmationWindow &history : histories)
                for (auto [window_length, min_hits] : windows) {
                    Options o;
                    o.confirmed_threshold = c + confirmed_offset;
                    o.candidate_threshold = c + candidate_offset;
                    o.confirm_window = window_length;
                    o.confirm_min_hits = min_hits;
                    ConfirmationWindow w = history;
                    RunStats s;
                    const IdentityDecision d = decide_identity(gate(crop), crop, rec, samples, o, w, s, logger);
                    const std::string expected = stated_label(probe_once.predicted_label, c, o.confirmed_threshold,
                                                              o.candidate_threshold, history, window_length, min_hits);
                    EXPECT_EQ(d.label, expected) << "model " << model << " limits " << confirmed_offset << ","
                                                 << candidate_offset << " window " << window_length << "/"
                                                 << min_hits << " history size " << history.entries.size();
                    EXPECT_EQ(s.unknown_predictions + s.candidate_veyra_predictions + s.confirmed_veyra_predictions, 1);
                    EXPECT_LE(static_cast<int>(w.entries.size()), window_length);
                    ++seen[d.label];
                }
    }
    // The grid must reach every label, or it proves little.
    EXPECT_GT(seen["ConfirmedVeyra"], 0);
    EXPECT_GT(seen["CandidateVeyra"], 0);
    EXPECT_GT(seen["Unknown"], 0);
}

}  // namespace

// ---------------------------------------------------------------- the fast prediction

namespace {

cv::Mat opencv_histogram(const cv::face::LBPHFaceRecognizer &shape, const cv::Mat &probe) {
    auto single = cv::face::LBPHFaceRecognizer::create(shape.getRadius(), shape.getNeighbors(), shape.getGridX(),
                                                       shape.getGridY());
    single->train(std::vector<cv::Mat>{probe}, std::vector<int>{0});
    return single->getHistograms().front();
}

std::vector<cv::Mat> varied_probes() {
    std::vector<cv::Mat> probes;
    for (unsigned seed = 30; seed < 34; ++seed) {
        cv::Mat image = face_test::noise_image(160, 160, seed);
        cv::GaussianBlur(image, image, cv::Size(0, 0), 0.5 + seed % 3);
        probes.push_back(image);
    }
    probes.push_back(cv::Mat(160, 160, CV_8UC1, cv::Scalar(0)));
    probes.push_back(cv::Mat(160, 160, CV_8UC1, cv::Scalar(255)));
    probes.push_back(face_test::checkerboard(160, 160, 100, 101));  // differences of one grey level
    cv::Mat ramp(160, 160, CV_8UC1);
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 160; ++x) ramp.at<uchar>(y, x) = static_cast<uchar>((x + 2 * y) / 2);
    probes.push_back(ramp);
    return probes;
}

bool bitwise_equal(const cv::Mat &a, const cv::Mat &b) {
    return a.type() == b.type() && a.total() == b.total() && a.isContinuous() && b.isContinuous() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

}  // namespace

TEST(FastPrediction, ProbeHistogramIsBitForBitTheRecognisersOwn) {
    const auto program_shape = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, DBL_MAX);
    const auto other_shape = cv::face::LBPHFaceRecognizer::create(2, 6, 5, 3, DBL_MAX);
    for (const cv::Mat &probe : varied_probes()) {
        EXPECT_TRUE(bitwise_equal(lbph_probe_histogram(*program_shape, probe), opencv_histogram(*program_shape, probe)));
        EXPECT_TRUE(bitwise_equal(lbph_probe_histogram(*other_shape, probe), opencv_histogram(*other_shape, probe)));
    }
}

TEST(FastPrediction, LabelAndDistanceEqualTheRecognisersPrediction) {
    std::vector<cv::Mat> images;
    std::vector<int> labels;
    for (unsigned seed = 40; seed < 70; ++seed) {
        cv::Mat image = face_test::noise_image(160, 160, seed);
        cv::GaussianBlur(image, image, cv::Size(0, 0), 0.5 + seed % 4);
        images.push_back(image);
        labels.push_back(1 + seed % 3);  // three classes, so the winning label matters
    }
    images.push_back(images[0].clone());  // an exact duplicate under another label: ties keep the first
    labels.push_back(7);
    const auto unlimited = face_test::train_lbph(images, labels);
    auto limited = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, 50.0);  // left to OpenCV
    limited->train(images, labels);

    std::vector<cv::Mat> probes = varied_probes();
    probes.push_back(images[0]);
    probes.push_back(images[17]);
    for (const auto &model : {unlimited, limited})
        for (const cv::Mat &probe : probes) {
            int expected_label = 0, label = 0;
            double expected = 0.0, confidence = 0.0;
            model->predict(probe, expected_label, expected);
            predict_identity(*model, probe, label, confidence);
            EXPECT_EQ(label, expected_label);
            EXPECT_EQ(std::memcmp(&confidence, &expected, sizeof expected), 0) << confidence << " vs " << expected;
        }
    int label = 0;
    double confidence = -1.0;
    predict_identity(*unlimited, images[0], label, confidence);
    EXPECT_EQ(confidence, 0.0);
    EXPECT_EQ(label, labels[0]);
}
