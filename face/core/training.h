#pragma once
// LBPH training from the samples, and the model and label files written at every start.
#include <map>
#include <string>
#include <vector>

#include <opencv2/face.hpp>

#include "core/names.h"
#include "core/options.h"
#include "core/run_log.h"
#include "core/samples.h"

// The training set assembled in one pass over the samples, with the counts the start-up reports.
struct TrainingSet {
    std::vector<cv::Mat> images;  // shared with the samples, not copied
    std::vector<int> labels;
    std::map<std::string, int> stage_counts;  // byte-wise order of the stage names
    int flat_samples = 0;
    int staged_samples = 0;
    int manifest_samples = 0;
};

TrainingSet assemble_training_set(const std::vector<TrainingSample> &samples);

// "loaded Veyra samples: " and the flat/staged/manifest line.
void log_sample_summary(const TrainingSet &set, Logger &logger);

// One "stage_samples <stage>: <count>" line per stage, in byte-wise order.
void log_stage_counts(const TrainingSet &set, Logger &logger);

// LBPH with radius 1, 8 neighbours, an 8 x 8 grid and no rejection threshold of its own, trained on `set`.
cv::Ptr<cv::face::LBPHFaceRecognizer> train_recognizer(const TrainingSet &set);

// Writes the model in the recogniser's own storage format and the label file "1 Veyra\n", creating parent
// directories. On failure logs "error: failed to write model: " / "error: failed to write labels: "
// with the path and returns false.
bool save_model_files(const cv::face::LBPHFaceRecognizer &recognizer, const Options &options, Logger &logger);

