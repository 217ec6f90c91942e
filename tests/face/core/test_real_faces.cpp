// Real photos: a model trained on one person's stills recognises that person in held-out stills and
// video frames, calls other people "Unknown", and names a sample of the right person as best profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "core/identity.h"
#include "lbph_training.h"
#include "test_photos.h"

namespace {

namespace fs = std::filesystem;

const fs::path kMedia = face_test::media_dir();

const char *kOtherPeople[] = {
    "audrey.jpg", "audrey_crop.jpg", "cage.jpg", "cage2_crop.jpg", "SeanConnery.jpg", "sean_guru2_crop.jpg",
    "Justin-Bieber2_crop.jpg", "bieber_small.jpg", "bill-murray-snl_crop.jpg", "chuck_crop.jpg",
    "fragrance-George-Clooney-main_crop.jpg", "kim1_crop.jpg", "obama4_crop.jpg", "queen20_crop.jpg",
    "ri_1_crop.jpg", "walter2_crop.jpg",
    // face-like non-humans: the detector fires on them too
    "joconde.jpg", "joconde_crop.jpg", "scream_crop.jpg", "picasso_drawing_crop.jpg", "vendetta.jpg",
    "skullmask.jpg", "ironman.jpg", "terminator_crop.jpg"};

// Faces as the recognition loop finds them: equalised grey image, the program's detector settings.
std::vector<cv::Rect> detect_faces(cv::CascadeClassifier &detector, const cv::Mat &grey) {
    cv::Mat equalised;
    cv::equalizeHist(grey, equalised);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(equalised, faces, 1.1, 4, 0, cv::Size(30, 30));
    return faces;
}

cv::Rect largest(const std::vector<cv::Rect> &faces) {
    cv::Rect best;
    for (const cv::Rect &r : faces)
        if (r.area() > best.area()) best = r;
    return best;
}

// Tight crops carry no margin for the detector; a mirrored border gives it one without a flat canvas.
cv::Mat with_margin(const cv::Mat &grey) {
    const int margin = std::max(grey.cols, grey.rows) / 4;
    cv::Mat framed;
    cv::copyMakeBorder(grey, framed, margin, margin, margin, margin, cv::BORDER_REFLECT);
    return framed;
}

class RealFaces : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!fs::exists(kMedia / "franck_01829.jpg")) return;
        ASSERT_TRUE(detector.load(face_test::kHaarCascade));
        for (const fs::path &path : face_test::enrolled_stills()) {
            const cv::Mat grey = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
            const cv::Rect face = largest(detect_faces(detector, grey));
            ASSERT_GT(face.area(), 0) << path;
            enrolled_grey.push_back(grey);
            enrolled_faces.push_back(face);
            enrolled.push_back(training_sample(grey(face), "franck", "franck/" + path.filename().string()));
        }
        for (const char *name : kOtherPeople) {
            const cv::Mat grey = with_margin(cv::imread((kMedia / name).string(), cv::IMREAD_GRAYSCALE));
            for (const cv::Rect &face : detect_faces(detector, grey)) {
                others.push_back(training_sample(grey(face), "others", std::string("others/") + name));
                other_crops.push_back({name, grey(face).clone()});
            }
        }
    }

    static void TearDownTestSuite() {
        enrolled.clear();
        enrolled_grey.clear();
        enrolled_faces.clear();
        others.clear();
        other_crops.clear();
    }

    void SetUp() override {
        if (enrolled.empty()) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    }

    // Prepared the way the sample loader prepares a photo: grey, 160 x 160, area interpolation.
    static TrainingSample training_sample(const cv::Mat &face, const std::string &stage, const std::string &file) {
        TrainingSample s;
        cv::resize(face, s.image, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
        s.metadata.stage = stage;
        s.metadata.file = file;
        return s;
    }

    static cv::Ptr<cv::face::LBPHFaceRecognizer> train(const std::vector<TrainingSample> &samples) {
        std::vector<cv::Mat> images;
        for (const TrainingSample &s : samples) images.push_back(s.image);
        return face_test::train_lbph(images, std::vector<int>(images.size(), 1));
    }

    static cv::CascadeClassifier detector;
    static std::vector<TrainingSample> enrolled, others;
    static std::vector<cv::Mat> enrolled_grey;
    static std::vector<cv::Rect> enrolled_faces;
    static std::vector<std::pair<std::string, cv::Mat>> other_crops;

    Options options;
    Logger logger;
};

cv::CascadeClassifier RealFaces::detector;
std::vector<TrainingSample> RealFaces::enrolled, RealFaces::others;
std::vector<cv::Mat> RealFaces::enrolled_grey;
std::vector<cv::Rect> RealFaces::enrolled_faces;
std::vector<std::pair<std::string, cv::Mat>> RealFaces::other_crops;

TEST_F(RealFaces, HeldOutStillsOfTheEnrolledPersonAreCandidates) {
    int accepted = 0;
    for (size_t held = 0; held < enrolled.size(); ++held) {
        std::vector<TrainingSample> rest = enrolled;
        rest.erase(rest.begin() + held);
        const auto recognizer = train(rest);
        const cv::Mat crop = enrolled_grey[held](enrolled_faces[held]).clone();
        const FaceQuality quality = evaluate_face_quality(crop, options);
        ConfirmationWindow window;
        RunStats stats;
        const IdentityDecision d = decide_identity(quality, crop, *recognizer, rest, options, window, stats, logger);
        if (!quality.accepted) {
            EXPECT_EQ(d.label, "Unknown");  // e.g. a slightly soft still: too_blurry
            continue;
        }
        ++accepted;
        EXPECT_EQ(d.predicted_label, 1);
        EXPECT_EQ(d.label, "CandidateVeyra") << enrolled[held].metadata.file << " confidence " << d.confidence;
        EXPECT_LE(d.confidence, options.candidate_threshold);
        EXPECT_EQ(d.profile.metadata.stage, "franck");
        EXPECT_NE(d.profile.metadata.file, enrolled[held].metadata.file);
    }
    EXPECT_GE(accepted, 3) << "too few stills passed the gate to say anything";
}

TEST_F(RealFaces, VideoFramesOfTheEnrolledPersonAreConfirmedOverARun) {
    const auto recognizer = train(enrolled);
    std::vector<TrainingSample> profiles = enrolled;
    profiles.insert(profiles.end(), others.begin(), others.end());

    cv::VideoCapture video((kMedia / "franck.mp4").string());
    ASSERT_TRUE(video.isOpened());
    ConfirmationWindow window;
    RunStats stats;
    std::map<std::string, int> labels;
    int accepted = 0, right_profile = 0, first_confirmed = -1;
    cv::Mat frame, grey;
    for (int index = 0; video.grab(); ++index) {
        if (index % 50 != 0) continue;
        ASSERT_TRUE(video.retrieve(frame));
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        const cv::Rect face = largest(detect_faces(detector, grey));
        if (face.area() == 0) continue;
        const cv::Mat crop = grey(face).clone();
        const FaceQuality quality = evaluate_face_quality(crop, options);
        const IdentityDecision d =
            decide_identity(quality, crop, *recognizer, profiles, options, window, stats, logger);
        if (!quality.accepted) continue;
        ++accepted;
        ++labels[d.label];
        // The decision's distance is exactly OpenCV's own prediction for the prepared probe.
        cv::Mat probe;
        cv::equalizeHist(crop, probe);
        cv::resize(probe, probe, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
        int opencv_label = -1;
        double opencv_confidence = 0.0;
        recognizer->predict(probe, opencv_label, opencv_confidence);
        EXPECT_EQ(d.predicted_label, opencv_label);
        EXPECT_EQ(d.confidence, opencv_confidence) << "frame " << index;
        if (d.label == "ConfirmedVeyra" && first_confirmed < 0) first_confirmed = accepted;
        if (stats.last_best_profile_stage == "franck") ++right_profile;
    }
    ASSERT_GE(accepted, 60) << "the video should give a face in most sampled frames";
    EXPECT_LE(labels["Unknown"], accepted / 5);  // at least four in five recognised
    EXPECT_GE(labels["ConfirmedVeyra"], accepted / 3);
    EXPECT_GE(first_confirmed, 5);
    EXPECT_LE(first_confirmed, 20);
    EXPECT_GE(right_profile, accepted * 9 / 10);
    EXPECT_EQ(stats.candidate_veyra_predictions + stats.confirmed_veyra_predictions,
              labels["CandidateVeyra"] + labels["ConfirmedVeyra"]);
}

TEST_F(RealFaces, OtherPeopleAndFaceLikeObjectsAreUnknown) {
    const auto recognizer = train(enrolled);
    ConfirmationWindow window;
    RunStats stats;
    int accepted = 0;
    for (const auto &[name, crop] : other_crops) {
        const FaceQuality quality = evaluate_face_quality(crop, options);
        const IdentityDecision d =
            decide_identity(quality, crop, *recognizer, enrolled, options, window, stats, logger);
        EXPECT_EQ(d.label, "Unknown") << name << " confidence " << d.confidence;
        if (!quality.accepted) continue;
        ++accepted;
        EXPECT_GT(d.confidence, options.candidate_threshold) << name;
    }
    EXPECT_GE(accepted, 8) << "too few other faces passed the gate to say anything";
    EXPECT_EQ(stats.unknown_predictions, static_cast<int>(other_crops.size()));
    EXPECT_EQ(confirmation_hits(window), 0);
}

}  // namespace
