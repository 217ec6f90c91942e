#pragma once
// Where lumivar_enroll puts samples: numbered image files in the stage's subdirectory, never replacing a file,
// and manifest.json read and checked with a JSON parser, then replaced whole after every new sample.
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

struct SampleStore {
    std::filesystem::path samples_dir;
    std::string stage;
    nlohmann::ordered_json manifest = nlohmann::ordered_json::array();  // as read, plus this run's entries
    int entries_read = 0;
    int next_number = 1;  // of the stage's sample ids, "<stage>-0001" on
};

// Reads `samples_dir`/manifest.json (absent: an empty list) and finds where the stage's numbering goes on.
// False with `problem` set when the samples directory is not a directory, or when the manifest exists and
// is not a readable JSON array of objects; nothing is written then.
bool open_sample_store(const std::string &samples_dir, const std::string &stage, SampleStore &store,
                       std::string &problem);

std::filesystem::path manifest_path(const SampleStore &store);

struct SavedSample {
    std::string file;  // relative to the samples directory, "/"-separated
    std::string sample_id;
};

// Writes `image` as the stage's next sample (PNG), then the manifest with its entry. Each file is written
// completely and flushed to disk before it takes its name. False with `problem` set when either cannot be
// written; then neither the sample file nor its manifest entry remains.
bool save_sample(SampleStore &store, const cv::Mat &image, SavedSample &saved, std::string &problem);

// The manifest as written: a JSON array with one object per line.
std::string manifest_text(const nlohmann::ordered_json &manifest);
