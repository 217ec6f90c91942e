#include "core/training.h"

#include <cfloat>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// Creates every missing level of the file's parent; a bare file name lives in the working directory.
bool create_parent_directories(const std::string &file_path) {
    const fs::path parent = fs::path(file_path).parent_path();
    if (parent.empty()) return true;
    std::error_code ec;
    fs::create_directories(parent, ec);
    return !ec;
}

bool has_gz_suffix(const std::string &path) {
    return path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

// OpenCV's file writer ignores failed writes, so a full disk would leave a cut-off model that we
// reported as saved. The recogniser serialises into memory exactly as its file writer does (same
// top-level name, format picked from the file name), and the bytes are written and checked here.
// Compressed names stay with the file writer, which alone knows how to compress.
bool write_model(const cv::face::LBPHFaceRecognizer &recognizer, const std::string &path) {
    if (!create_parent_directories(path)) return false;
    try {
        if (has_gz_suffix(path)) {
            recognizer.write(path);
            return true;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        cv::FileStorage storage(path, cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
        storage << recognizer.getDefaultName() << "{";
        recognizer.write(storage);
        storage << "}";
        const std::string text = storage.releaseAndGetString();
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        return !out.fail();
    } catch (const cv::Exception &) {
        return false;
    }
}

bool write_labels(const std::string &path) {
    if (!create_parent_directories(path)) return false;
    std::ofstream out(path, std::ios::trunc);
    if (!out) return false;
    out << "1 Veyra\n";
    out.close();
    return !out.fail();
}

}  // namespace

TrainingSet assemble_training_set(const std::vector<TrainingSample> &samples) {
    TrainingSet set;
    set.images.reserve(samples.size());
    set.labels.reserve(samples.size());
    for (const TrainingSample &sample : samples) {
        set.images.push_back(sample.image);
        set.labels.push_back(sample.label);
        ++set.stage_counts[sample.metadata.stage];
        if (sample.metadata.stage == "flat") {
            ++set.flat_samples;
        } else {
            ++set.staged_samples;
        }
        if (sample.metadata.from_manifest) ++set.manifest_samples;
    }
    return set;
}

void log_sample_summary(const TrainingSet &set, Logger &logger) {
    logger.line("loaded Veyra samples: " + std::to_string(set.images.size()));
    logger.line("flat_samples: " + std::to_string(set.flat_samples) +
                ", staged_samples: " + std::to_string(set.staged_samples) +
                ", manifest_metadata_samples: " + std::to_string(set.manifest_samples));
}

void log_stage_counts(const TrainingSet &set, Logger &logger) {
    for (const auto &[stage, count] : set.stage_counts) {
        logger.line("stage_samples " + stage + ": " + std::to_string(count));
    }
}

cv::Ptr<cv::face::LBPHFaceRecognizer> train_recognizer(const TrainingSet &set) {
    // No threshold of the recogniser's own: every rejection is done by our own limits.
    cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, DBL_MAX);
    recognizer->train(set.images, set.labels);
    return recognizer;
}

bool save_model_files(const cv::face::LBPHFaceRecognizer &recognizer, const Options &options, Logger &logger) {
    if (!write_model(recognizer, options.model_path)) {
        logger.line("error: failed to write model: " + options.model_path);
        return false;
    }
    if (!write_labels(options.labels_path)) {
        logger.line("error: failed to write labels: " + options.labels_path);
        return false;
    }
    return true;
}
