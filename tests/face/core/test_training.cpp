// LBPH training on real face crops, the stage lines, and the model and label files.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <functional>
#include <string>
#include <vector>

#include "core/samples.h"
#include "synthetic_images.h"
#include "face_files.h"
#include "test_photos.h"
#include "core/training.h"

namespace {

namespace fs = std::filesystem;
using face_test::ScratchDir;

TrainingSample sample_with_stage(const std::string &stage, bool from_manifest, int seed) {
    TrainingSample s;
    s.image = face_test::noise_image(160, 160, seed);
    s.metadata.stage = stage;
    s.metadata.from_manifest = from_manifest;
    return s;
}

std::string captured_lines(const std::function<void(Logger &)> &write) {
    Logger logger;
    testing::internal::CaptureStdout();
    write(logger);
    return testing::internal::GetCapturedStdout();
}

TEST(TrainingSet, CountsAndStageLinesInByteOrder) {
    const std::vector<TrainingSample> samples = {
        sample_with_stage("flat", false, 1),    sample_with_stage("unknown", true, 2),
        sample_with_stage("day", true, 3),      sample_with_stage("Night", false, 4),
        sample_with_stage("day", false, 5),     sample_with_stage("flat", false, 6),
    };
    const TrainingSet set = assemble_training_set(samples);
    ASSERT_EQ(set.images.size(), samples.size());
    EXPECT_EQ(set.labels, std::vector<int>(samples.size(), 1));
    // The training images share the samples' pixels.
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(set.images[i].data, samples[i].image.data);

    EXPECT_EQ(captured_lines([&](Logger &l) { log_sample_summary(set, l); }),
              "loaded Veyra samples: 6\n"
              "flat_samples: 2, staged_samples: 4, manifest_metadata_samples: 2\n");
    EXPECT_EQ(captured_lines([&](Logger &l) { log_stage_counts(set, l); }),
              "stage_samples Night: 1\n"
              "stage_samples day: 2\n"
              "stage_samples flat: 2\n"
              "stage_samples unknown: 1\n");
}

TEST(TrainingSet, RecogniserHasTheFixedLbphParametersAndNoRejection) {
    const TrainingSet set = assemble_training_set({sample_with_stage("flat", false, 1)});
    const auto recognizer = train_recognizer(set);
    EXPECT_EQ(recognizer->getRadius(), 1);
    EXPECT_EQ(recognizer->getNeighbors(), 8);
    EXPECT_EQ(recognizer->getGridX(), 8);
    EXPECT_EQ(recognizer->getGridY(), 8);
    EXPECT_EQ(recognizer->getThreshold(), DBL_MAX);
    // A completely different image is still given the only label, with a large distance.
    int label = -1;
    double distance = 0;
    recognizer->predict(cv::Mat(160, 160, CV_8UC1, cv::Scalar(0)), label, distance);
    EXPECT_EQ(label, 1);
    EXPECT_GT(distance, 60.0);
}

// Ten stills of one person are enrolled from disk, as a user would lay them out.
TEST(RealFaces, SavedModelLoadsBackAndRecognisesAHeldOutStill) {
    const fs::path media = face_test::media_dir();
    if (!fs::exists(media / "franck_01829.jpg")) GTEST_SKIP() << "run scripts/fetch_test_faces.sh first";
    cv::CascadeClassifier detector(face_test::kHaarCascade);
    ASSERT_FALSE(detector.empty());

    const std::vector<fs::path> stills = face_test::enrolled_stills();
    ASSERT_GE(stills.size(), 11u);

    ScratchDir dir;
    for (size_t i = 0; i < 10; ++i) {
        const cv::Mat crop = face_test::face_crop(stills[i], detector);
        ASSERT_FALSE(crop.empty()) << stills[i];
        face_test::write_image(
            dir / ("samples/" + std::string(i < 5 ? "morning/" : "") + stills[i].stem().string() + ".png"), crop);
    }
    std::vector<TrainingSample> samples;
    ASSERT_TRUE(load_veyra_samples((dir / "samples").string(), samples));
    ASSERT_EQ(samples.size(), 10u);

    Options options;
    options.model_path = (dir / "out/models/deeper/face.yml").string();
    options.labels_path = (dir / "out/labels/labels.txt").string();
    const auto trained = train_recognizer(assemble_training_set(samples));
    std::string output = captured_lines([&](Logger &l) { EXPECT_TRUE(save_model_files(*trained, options, l)); });
    EXPECT_EQ(output, "");
    EXPECT_EQ(face_test::read_file(options.labels_path), "1 Veyra\n");

    const auto loaded = cv::face::LBPHFaceRecognizer::create();
    loaded->read(options.model_path);
    EXPECT_EQ(loaded->getHistograms().size(), 10u);
    EXPECT_EQ(loaded->getThreshold(), DBL_MAX);

    const cv::Mat held_out = face_test::face_crop(stills[10], detector);
    ASSERT_FALSE(held_out.empty());
    int label = -1;
    double same_person = 0;
    loaded->predict(held_out, label, same_person);
    EXPECT_EQ(label, 1);
    EXPECT_LT(same_person, 55.0);

    for (const char *other : {"audrey.jpg", "cage.jpg", "SeanConnery.jpg"}) {
        const cv::Mat face = face_test::face_crop(media / other, detector);
        ASSERT_FALSE(face.empty()) << other;
        double distance = 0;
        loaded->predict(face, label, distance);
        EXPECT_GT(distance, same_person + 15.0) << other;
    }
}

class ModelFiles : public testing::Test {
protected:
    ScratchDir dir;
    cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer =
        train_recognizer(assemble_training_set({sample_with_stage("flat", false, 1)}));

    bool save(const std::string &model, const std::string &labels, std::string &output) {
        Options options;
        options.model_path = model;
        options.labels_path = labels;
        bool ok = false;
        output = captured_lines([&](Logger &l) { ok = save_model_files(*recognizer, options, l); });
        return ok;
    }
};

TEST_F(ModelFiles, SavingAgainReplacesBothFiles) {
    const std::string model = (dir / "a/b/c/model.yml").string();
    const std::string labels = (dir / "a/labels.txt").string();
    face_test::write_file(labels, "stale content that is longer than eight bytes\n");
    std::string output;
    ASSERT_TRUE(save(model, labels, output));
    const std::string first_model = face_test::read_file(model);
    EXPECT_EQ(first_model.rfind("%YAML", 0), 0u);
    EXPECT_EQ(face_test::read_file(labels), "1 Veyra\n");

    face_test::write_file(model, "overwritten");
    ASSERT_TRUE(save(model, labels, output));
    EXPECT_EQ(face_test::read_file(model), first_model);
    EXPECT_EQ(fs::file_size(labels), 8u);
}

// The model is serialised in memory and written by us, so a short write is caught; it must still be
// byte for byte what the recogniser's own file writer produces.
TEST_F(ModelFiles, ModelBytesAreThoseOfTheRecognisersFileWriter) {
    const auto three_samples = train_recognizer(assemble_training_set(
        {sample_with_stage("flat", false, 1), sample_with_stage("day", false, 2), sample_with_stage("day", false, 3)}));
    recognizer = three_samples;
    for (const std::string name : {"model.yml", "model.xml", "model.json", "model"}) {
        std::string output;
        ASSERT_TRUE(save((dir / ("ours/" + name)).string(), (dir / "labels.txt").string(), output)) << output;
        recognizer->write((dir / ("opencv_" + name)).string());
        const std::string ours = face_test::read_file(dir / ("ours/" + name));
        EXPECT_GT(ours.size(), 3u * 16384u) << name;
        EXPECT_TRUE(ours == face_test::read_file(dir / ("opencv_" + name))) << name;
    }
    // A compressed name gets the same model, compressed: OpenCV's own reader takes it back.
    std::string output;
    ASSERT_TRUE(save((dir / "model.yml.gz").string(), (dir / "labels.txt").string(), output));
    EXPECT_EQ(face_test::read_file(dir / "model.yml.gz").substr(0, 2), "\x1f\x8b");
    const auto reread = cv::face::LBPHFaceRecognizer::create();
    reread->read((dir / "model.yml.gz").string());
    EXPECT_EQ(reread->getHistograms().size(), 3u);
}

// Both files are replaced whole: a disk too full for the new model leaves the previous files as they were, and a
// replaced file keeps its permissions.
TEST_F(ModelFiles, AFullDiskLeavesThePreviousFilesWholeAndAReplacedFileKeepsItsMode) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    const fs::path disk = dir / "disk";
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k") != 0) GTEST_SKIP() << "cannot mount a small tmpfs";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{disk};
    const std::string model = (disk / "model.yml").string(), labels = (disk / "labels.txt").string();
    face_test::write_file(model, "the previous model");
    face_test::write_file(labels, "1 Previous\n");
    ASSERT_EQ(::chmod(model.c_str(), 0600), 0);
    std::string output;
    EXPECT_FALSE(save(model, labels, output));  // the model (over 16 kB) does not fit
    EXPECT_EQ(output, "error: failed to write model: " + model + "\n");
    EXPECT_EQ(face_test::read_file(model), "the previous model");
    EXPECT_EQ(std::distance(fs::directory_iterator(disk), fs::directory_iterator()), 2);

    // Room for the labels only: the model is written elsewhere, the labels replaced in place of the old ones.
    const std::string elsewhere = (dir / "model.yml").string();
    face_test::write_file(elsewhere, "old");
    ASSERT_EQ(::chmod(elsewhere.c_str(), 0600), 0);
    ASSERT_TRUE(save(elsewhere, labels, output)) << output;
    EXPECT_EQ(fs::status(elsewhere).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(face_test::read_file(labels), "1 Veyra\n");
}

// Paths the end-to-end tests do not cover; the common failures are checked there.
TEST_F(ModelFiles, FailuresAreAnErrorLineNamingThePath) {
    std::string output;
    EXPECT_FALSE(save("", (dir / "labels.txt").string(), output));
    EXPECT_EQ(output, "error: failed to write model: \n");
    EXPECT_FALSE(fs::exists(dir / "labels.txt"));  // nothing after a failed model

    fs::create_directories(dir / "labels_dir");
    EXPECT_FALSE(save((dir / "model.yml").string(), (dir / "labels_dir").string(), output));
    EXPECT_EQ(output, "error: failed to write labels: " + (dir / "labels_dir").string() + "\n");

    // OpenCV's own file writer would report success here and leave nothing behind.
    EXPECT_FALSE(save("/dev/full", (dir / "labels.txt").string(), output));
    EXPECT_EQ(output, "error: failed to write model: /dev/full\n");
}

}  // namespace
