#include "core/training.h"

#include <cfloat>
#include <filesystem>
#include <fstream>

#include <zlib.h>

#include "core/atomic_file.h"

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

// The gzip file (as OpenCV's file writer makes for a ".gz" name) holding `text`; empty on failure.
std::string gzipped(const std::string &text) {
    z_stream stream{};
    constexpr int kGzipWindowBits = 15 + 16;  // 16: a gzip header and trailer around the deflate stream
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return done ? out : std::string();
}

// OpenCV's file writer ignores failed writes and writes in place, so a full disk or a stop would leave a cut-off
// model. The recogniser serialises into memory exactly as its file writer does (same top-level name, format
// picked from the file name), and the bytes go through the one atomic write; a ".gz" name is compressed here.
bool write_model(const cv::face::LBPHFaceRecognizer &recognizer, const std::string &path) {
    if (!create_parent_directories(path)) return false;
    std::string text;
    try {
        const std::string format_name = has_gz_suffix(path) ? path.substr(0, path.size() - 3) : path;
        cv::FileStorage storage(format_name, cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
        storage << recognizer.getDefaultName() << "{";
        recognizer.write(storage);
        storage << "}";
        text = storage.releaseAndGetString();
    } catch (const cv::Exception &) {
        return false;
    }
    if (has_gz_suffix(path) && (text = gzipped(text)).empty()) return false;
    std::string problem;
    return replace_file_atomically(path, text, problem);
}

bool write_labels(const std::string &path) {
    std::string problem;
    return create_parent_directories(path) && replace_file_atomically(path, "1 Veyra\n", problem);
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
