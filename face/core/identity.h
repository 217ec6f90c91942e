#pragma once
// Identity decision: LBPH prediction, the rolling confirmation window, the closest training sample.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/face.hpp>

#include "core/names.h"
#include "core/options.h"
#include "core/run_log.h"
#include "core/quality.h"
#include "core/samples.h"

struct ProfileMatch {
    double distance = 0.0;
    int sample_index = -1;
    SampleMetadata metadata;
};

struct RunStats {
    int processed_frames = 0;
    int frames_with_faces = 0;
    int max_faces_observed = 0;
    int unknown_predictions = 0;
    int candidate_veyra_predictions = 0;
    int confirmed_veyra_predictions = 0;
    int quality_rejections = 0;
    std::string last_label = kLabelUnknown;
    double last_confidence = 0.0;
    std::string last_quality = "no_face";
    std::string last_best_profile_stage = "unknown";
    std::string last_matched_sample = "unknown";
    // Liveness rejections (--liveness), also counted in quality_rejections.
    int flat_rejections = 0;
    int no_depth_rejections = 0;
};

// The newest evaluated faces' entries, oldest at the front (1 for a strict hit, 0 otherwise), and how many of
// them are hits: a running count, so that a long window costs no more per face than a short one.
struct ConfirmationWindow {
    std::deque<uint8_t> entries;
    int hits = 0;
};

struct IdentityDecision {
    std::string label = kLabelUnknown;
    int predicted_label = -1;
    double confidence = 0.0;  // LBPH distance: lower is better
    ProfileMatch profile;
    int hits = 0;  // strict hits in the window after this face
};

// The probe the recogniser sees for a face crop: grey, equalised, then 160 x 160 by area interpolation.
// It has the geometry of the training images.
cv::Mat build_probe(const cv::Mat &crop);

void push_confirmation_hit(ConfirmationWindow &window, int hit, int window_length);
int confirmation_hits(const ConfirmationWindow &window);

enum class IdentityLabel { Unknown, CandidateVeyra, ConfirmedVeyra };
const std::string &label_name(IdentityLabel label);

// A face's prediction against the two limits (both inclusive: LBPH confidence is a distance). A rejected face
// (`accepted` false) is neither.
struct PredictionHits {
    bool candidate = false;
    bool strict_hit = false;  // its entry in the window is 1
};
PredictionHits judge_prediction(bool accepted, int predicted_label, double confidence, const Options &options);

// The label once the face's own entry is in the window and the window holds `hits` strict hits.
IdentityLabel label_from_hits(const PredictionHits &prediction, long long hits, const Options &options);

// The decision rules for one evaluated face, given its prediction: its entry goes into the window (1 for a
// strict hit), then the label follows from the two limits and the strict hits now in the window. A rejected
// face (`accepted` false) is a miss and Unknown. Only the limits and window settings of `options` are read.
IdentityLabel label_face(bool accepted, int predicted_label, double confidence, const Options &options,
                         ConfirmationWindow &window);

// The calibration line of one evaluated face: frame (the stats' processed frames), distance, label, both
// limits, the gate's measurements and reason, the window's hits and length, the closest sample.
std::string calibration_line(const IdentityDecision &decision, const FaceQuality &quality, const Options &options,
                             const ConfirmationWindow &window, const RunStats &stats);
// The histogram the LBPH model compares for a probe (8-bit grey), identical to the model's own.
cv::Mat lbph_probe_histogram(const cv::face::LBPHFaceRecognizer &model, const cv::Mat &probe);

// The recogniser's prediction (same label and LBPH distance as `recognizer.predict`), faster for an
// LBPH model without a threshold: a training histogram stops being compared once it cannot be closer.
void predict_identity(const cv::face::FaceRecognizer &recognizer, const cv::Mat &probe, int &label,
                      double &confidence);
ProfileMatch find_best_profile(const cv::Mat &probe, const std::vector<TrainingSample> &samples);

IdentityDecision decide_identity(const FaceQuality &quality, const cv::Mat &crop,
                                 const cv::face::FaceRecognizer &recognizer,
                                 const std::vector<TrainingSample> &samples, const Options &options,
                                 ConfirmationWindow &window, RunStats &stats, Logger &logger);
