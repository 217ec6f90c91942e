#pragma once
// Training samples of the enrolled person: discovery, metadata and the manifest scan.
#include <string>
#include <vector>

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

// The quoted value of `key` in a manifest entry ("key" : "value"), or "" when absent.
std::string regex_field(const std::string &entry, const std::string &key);
