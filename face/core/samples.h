#pragma once
// Training samples of the enrolled person: discovery, metadata and the manifest scan.
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

struct SampleMetadata {
    std::string file;
    std::string stage = "flat";
    std::string sample_id;
    bool from_manifest = false;
};

struct TrainingSample {
    cv::Mat image;  // 8-bit grey, 160 x 160
    int label = 1;
    SampleMetadata metadata;
};

constexpr int kSampleSide = 160;

// Appends one sample per readable image under `samples_dir`, in path order.
// Returns whether the list is non-empty afterwards; false at once when the directory is missing.
bool load_veyra_samples(const std::string &samples_dir, std::vector<TrainingSample> &samples);

// Image files under `dir` at any depth (names ending exactly in .png, .jpg, .jpeg or .pgm, never
// manifest.json), in path order. False when the walk itself fails (not a directory, a subdirectory that
// cannot be opened).
bool list_image_files(const std::filesystem::path &dir, std::vector<std::filesystem::path> &paths);

// Reads manifest.json's text as JSON, the one reading lumivar_face and lumivar_enroll share. A number beyond
// the range of a double is valid JSON and reads as 0: no reader of ours uses numbers, and their text is never
// rewritten. False when the text is not JSON; lumivar_face then scans it for entries by hand.
bool parse_json_manifest(const std::string &text, nlohmann::ordered_json &document);

// The quoted value of `key` in a manifest entry ("key" : "value"), or "" when absent.
std::string regex_field(const std::string &entry, const std::string &key);
