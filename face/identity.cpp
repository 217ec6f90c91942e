#include "identity.h"

#include <limits>

#include <opencv2/imgproc.hpp>

void push_confirmation_hit(ConfirmationWindow &window, int hit, int window_length) {
    window.push_back(hit);
    while (static_cast<int>(window.size()) > window_length) window.pop_front();
}

int confirmation_hits(const ConfirmationWindow &window) {
    int hits = 0;
    for (int entry : window) hits += entry;
    return hits;
}

// Pixel distance: L2 norm of the absolute difference, divided by the probe's pixel count.
// For reporting only; the label never depends on it.
ProfileMatch find_best_profile(const cv::Mat &probe, const std::vector<TrainingSample> &samples) {
    ProfileMatch match;
    double best = std::numeric_limits<double>::max();
    const double pixel_count = static_cast<double>(probe.total());
    cv::Mat difference;
    for (size_t i = 0; i < samples.size(); ++i) {
        const cv::Mat &image = samples[i].image;
        // A sample of another geometry cannot be compared pixel by pixel; skip it like an empty one.
        if (image.empty() || image.size() != probe.size() || image.type() != probe.type()) continue;
        cv::absdiff(image, probe, difference);
        const double distance = cv::norm(difference, cv::NORM_L2) / pixel_count;
        if (distance < best) {  // strict: ties keep the earlier sample
            best = distance;
            match.sample_index = static_cast<int>(i);
            match.metadata = samples[i].metadata;
        }
    }
    match.distance = match.sample_index < 0 ? 0.0 : best;
    return match;
}

namespace {

// The probe has the geometry of the training images; unlike them it is equalised.
cv::Mat build_probe(const cv::Mat &crop) {
    cv::Mat probe = crop.clone();
    cv::equalizeHist(probe, probe);
    cv::resize(probe, probe, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
    return probe;
}

const std::string &or_unknown(const std::string &text) {
    static const std::string unknown = "unknown";
    return text.empty() ? unknown : text;
}

std::string calibration_line(const IdentityDecision &decision, const FaceQuality &quality,
                             const Options &options, const ConfirmationWindow &window,
                             const RunStats &stats) {
    return "calibration frame=" + std::to_string(stats.processed_frames) +
           ", confidence=" + format_real(decision.confidence) + ", label=" + decision.label +
           ", candidate_threshold=" + format_real(options.candidate_threshold) +
           ", confirmed_threshold=" + format_real(options.confirmed_threshold) +
           ", face_size=" + std::to_string(quality.face_size.width) + "x" +
           std::to_string(quality.face_size.height) + ", sharpness=" + format_real(quality.sharpness) +
           ", brightness=" + format_real(quality.brightness) +
           ", contrast=" + format_real(quality.contrast) + ", quality=" + quality.reason +
           ", confirmation_hits=" + std::to_string(decision.hits) +
           ", confirmation_window=" + std::to_string(window.size()) +
           ", best_profile_stage=" + stats.last_best_profile_stage +
           ", matched_sample=" + stats.last_matched_sample;
}

}  // namespace

IdentityDecision decide_identity(const FaceQuality &quality, const cv::Mat &crop,
                                 const cv::face::FaceRecognizer &recognizer,
                                 const std::vector<TrainingSample> &samples, const Options &options,
                                 ConfirmationWindow &window, RunStats &stats, Logger &logger) {
    IdentityDecision decision;
    if (!quality.accepted) {
        // Rejected faces are never predicted, but still push a miss into the window.
        ++stats.quality_rejections;
        push_confirmation_hit(window, 0, options.confirm_window);
        ++stats.unknown_predictions;
    } else {
        const cv::Mat probe = build_probe(crop);
        recognizer.predict(probe, decision.predicted_label, decision.confidence);
        decision.profile = find_best_profile(probe, samples);

        // LBPH confidence is a distance: both limits are inclusive upper bounds.
        const bool is_veyra = decision.predicted_label == 1;
        const bool candidate = is_veyra && decision.confidence <= options.candidate_threshold;
        const bool strict_hit = is_veyra && decision.confidence <= options.confirmed_threshold;
        push_confirmation_hit(window, strict_hit ? 1 : 0, options.confirm_window);
        const int hits = confirmation_hits(window);

        if (strict_hit && hits >= options.confirm_min_hits) {
            decision.label = "ConfirmedVeyra";
            ++stats.confirmed_veyra_predictions;
        } else if (candidate) {
            decision.label = "CandidateVeyra";
            ++stats.candidate_veyra_predictions;
        } else {
            ++stats.unknown_predictions;
        }
    }

    stats.last_label = decision.label;
    stats.last_confidence = decision.confidence;
    stats.last_best_profile_stage = or_unknown(decision.profile.metadata.stage);
    stats.last_matched_sample = or_unknown(decision.profile.metadata.file);
    decision.hits = confirmation_hits(window);

    if (options.calibration_log) logger.line(calibration_line(decision, quality, options, window, stats));
    return decision;
}
