// One colour frame's work: everything between receiving the sensor's pixels and showing the result.
#include "core/frame_steps.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

const cv::Scalar kOverlayGreen(0, 255, 0, 0);
const cv::Scalar kOverlayYellow(0, 255, 255, 0);
const cv::Scalar kOverlayOrange(0, 165, 255, 0);

void put_overlay_text(cv::Mat &image, const std::string &text, cv::Point origin, double font_scale,
                      const cv::Scalar &colour, int thickness) {
    cv::putText(image, text, origin, cv::FONT_HERSHEY_SIMPLEX, font_scale, colour, thickness, cv::LINE_8);
}

bool is_supported_frame(size_t width, size_t height, const unsigned char *data, size_t bytes_per_pixel) {
    return width != 0 && height != 0 && data != nullptr && bytes_per_pixel == 4;
}

FrameImages convert_frame(const cv::Mat &wrapped, bool rgbx, bool with_colour) {
    FrameImages images;
    if (with_colour) cv::cvtColor(wrapped, images.colour, rgbx ? cv::COLOR_RGBA2BGR : cv::COLOR_BGRA2BGR);
    cv::cvtColor(wrapped, images.grey, rgbx ? cv::COLOR_RGBA2GRAY : cv::COLOR_BGRA2GRAY);
    return images;
}

int detection_min_side(int min_face_size, double scale) {
    const int side = static_cast<int>(min_face_size * scale);
    return std::max(side, 1);
}

cv::Mat detection_image(cv::Mat &grey, double scale) {
    cv::Mat detection;
    if (scale < 1.0) {
        // cv::resize rounds the reduced size like this and refuses an empty one: nothing to search then.
        const cv::Size reduced(cv::saturate_cast<int>(grey.cols * scale), cv::saturate_cast<int>(grey.rows * scale));
        if (reduced.empty()) return detection;
        cv::resize(grey, detection, cv::Size(), scale, scale, cv::INTER_AREA);
    } else {
        detection = grey;  // shares the pixels: equalising it equalises the grey image too
    }
    cv::equalizeHist(detection, detection);
    return detection;
}

cv::Rect map_to_frame(const cv::Rect &detected, double scale) {
    const double back = 1.0 / scale;
    return cv::Rect(static_cast<int>(detected.x * back), static_cast<int>(detected.y * back),
                    static_cast<int>(detected.width * back), static_cast<int>(detected.height * back));
}

std::vector<cv::Rect> run_cascade(cv::CascadeClassifier &detector, const cv::Mat &image, const Options &options,
                                  cv::Size min_size, cv::Size max_size) {
    std::vector<cv::Rect> found;
    detector.detectMultiScale(image, found, options.scale_factor, options.min_neighbors, 0, min_size, max_size);
    return found;
}

std::vector<cv::Rect> detect_faces(cv::CascadeClassifier &detector, const cv::Mat &detection, const Options &options) {
    if (detection.empty()) return {};
    const int side = detection_min_side(options.min_face_size, options.scale);
    std::vector<cv::Rect> found = run_cascade(detector, detection, options, cv::Size(side, side));
    for (cv::Rect &face : found) face = map_to_frame(face, options.scale);
    return found;
}

std::vector<cv::Rect> find_faces(cv::CascadeClassifier &detector, cv::Mat &grey, const Options &options) {
    return detect_faces(detector, detection_image(grey, options.scale), options);
}

bool load_detector(const std::string &path, cv::CascadeClassifier &detector) {
    try {
        return detector.load(path);
    } catch (const cv::Exception &) {
        return false;  // not a cascade file at all
    }
}

GatedFace gate_face(const cv::Mat &grey, const cv::Rect &face, const Options &options, const DepthView *depth) {
    GatedFace gated;
    gated.clipped = face & cv::Rect(0, 0, grey.cols, grey.rows);
    if (gated.clipped.empty()) return gated;
    gated.crop = grey(gated.clipped).clone();
    gated.quality = evaluate_face_quality(gated.crop, options);
    if (!options.liveness || !gated.quality.accepted) return gated;
    // Fails closed: without depth the face is no_depth, never accepted.
    const LivenessCheck live =
        depth ? check_liveness(*depth, gated.clipped, options.liveness_min_relief) : LivenessCheck{kReasonNoDepth};
    gated.quality.relief = live.relief;
    if (live.reason != kReasonAccepted) {
        gated.quality.accepted = false;
        gated.quality.reason = live.reason;
    }
    return gated;
}

std::vector<FaceOutcome> handle_faces(const std::vector<cv::Rect> &faces, FrameImages &images,
                                      const cv::face::FaceRecognizer &recognizer,
                                      const std::vector<TrainingSample> &samples, const Options &options,
                                      ConfirmationWindow &window, RunStats &stats, Logger &logger) {
    const int visible = static_cast<int>(faces.size());
    stats.max_faces_observed = std::max(stats.max_faces_observed, visible);
    if (visible > 0) ++stats.frames_with_faces;

    std::vector<FaceOutcome> outcomes;
    outcomes.reserve(faces.size());
    for (const cv::Rect &face : faces) {
        const GatedFace gated = gate_face(images.grey, face, options, &images.depth);
        FaceOutcome outcome;
        outcome.clipped = gated.clipped;
        if (outcome.clipped.empty()) {
            outcomes.push_back(outcome);
            continue;
        }
        outcome.quality = gated.quality;
        stats.last_quality = outcome.quality.reason;
        if (outcome.quality.reason == kReasonFlat) ++stats.flat_rejections;
        if (outcome.quality.reason == kReasonNoDepth) ++stats.no_depth_rejections;
        outcome.decision =
            decide_identity(outcome.quality, gated.crop, recognizer, samples, options, window, stats, logger);
        if (!images.colour.empty()) draw_face(images.colour, outcome.clipped, outcome.decision, stats, options);
        outcomes.push_back(outcome);
    }
    return outcomes;
}

cv::Scalar label_colour(const std::string &label) {
    if (label == kLabelConfirmed) return kOverlayGreen;
    if (label == kLabelCandidate) return kOverlayYellow;
    return kOverlayOrange;
}

int text_baseline(int face_top, int offset) { return std::max(face_top - offset, 30); }

void draw_face(cv::Mat &colour, const cv::Rect &clipped, const IdentityDecision &decision, const RunStats &stats,
               const Options &options) {
    const cv::Scalar colour_of_label = label_colour(decision.label);
    cv::rectangle(colour, clipped, colour_of_label, 3, cv::LINE_8);
    const int left = clipped.x;
    const int top = clipped.y;
    put_overlay_text(colour, decision.label + " " + std::to_string(static_cast<int>(decision.confidence)),
             cv::Point(left, text_baseline(top, 66)), 0.9, colour_of_label, 2);
    put_overlay_text(colour, "hits " + std::to_string(decision.hits) + "/" + std::to_string(options.confirm_window),
             cv::Point(left, text_baseline(top, 38)), 0.8, colour_of_label, 2);
    put_overlay_text(colour, "best profile: " + stats.last_best_profile_stage, cv::Point(left, text_baseline(top, 10)), 0.8,
             colour_of_label, 2);
}

void draw_frame_texts(cv::Mat &colour, int visible_faces, const RunStats &stats) {
    put_overlay_text(colour, "Visible faces: " + std::to_string(visible_faces), cv::Point(30, 60), 1.3, kOverlayGreen, 3);
    put_overlay_text(colour, "Last: " + stats.last_label + " quality=" + stats.last_quality, cv::Point(30, 110), 0.8, kOverlayYellow,
             2);
}

std::string frame_failure_line(const cv::Exception &error) {
    return "error: failed to process RGB frame: " + error.err + (error.func.empty() ? "" : " in " + error.func);
}

bool is_stop_key(int key) { return key == 27 || (key & ~0x20) == 'Q'; }

std::string status_line(const RunStats &stats, int visible_faces, const ConfirmationWindow &window) {
    return "processed frames: " + std::to_string(stats.processed_frames) +
           ", visible faces: " + std::to_string(visible_faces) +
           ", unknown_predictions: " + std::to_string(stats.unknown_predictions) +
           ", candidate_veyra_predictions: " + std::to_string(stats.candidate_veyra_predictions) +
           ", confirmed_veyra_predictions: " + std::to_string(stats.confirmed_veyra_predictions) +
           ", quality_rejections: " + std::to_string(stats.quality_rejections) + ", last_label: " + stats.last_label +
           ", confidence: " + format_real(stats.last_confidence) + ", quality: " + stats.last_quality +
           ", confirmation_hits: " + std::to_string(confirmation_hits(window)) +
           ", confirmation_window: " + std::to_string(window.entries.size()) +
           ", best_profile_stage: " + stats.last_best_profile_stage +
           ", matched_sample: " + stats.last_matched_sample;
}

std::string summary_line(const RunStats &stats, double fps, const ConfirmationWindow &window) {
    return "summary: frames=" + std::to_string(stats.processed_frames) + ", fps=" + format_real(fps) +
           ", frames_with_faces=" + std::to_string(stats.frames_with_faces) +
           ", max_faces_observed=" + std::to_string(stats.max_faces_observed) +
           ", unknown_predictions=" + std::to_string(stats.unknown_predictions) +
           ", candidate_veyra_predictions=" + std::to_string(stats.candidate_veyra_predictions) +
           ", confirmed_veyra_predictions=" + std::to_string(stats.confirmed_veyra_predictions) +
           ", quality_rejections=" + std::to_string(stats.quality_rejections) + ", last_label=" + stats.last_label +
           ", last_confidence=" + format_real(stats.last_confidence) + ", last_quality=" + stats.last_quality +
           ", confirmation_hits=" + std::to_string(confirmation_hits(window)) +
           ", confirmation_window=" + std::to_string(window.entries.size()) +
           ", best_profile_stage=" + stats.last_best_profile_stage +
           ", matched_sample=" + stats.last_matched_sample;
}

std::string liveness_status_pieces(const Options &options) {
    if (!options.liveness) return "";
    return ", liveness: enabled, liveness_min_relief: " + format_real(options.liveness_min_relief);
}

std::string liveness_summary_pieces(const Options &options, const RunStats &stats) {
    if (!options.liveness) return "";
    return ", liveness_min_relief=" + format_real(options.liveness_min_relief) +
           ", flat_rejections=" + std::to_string(stats.flat_rejections) +
           ", no_depth_rejections=" + std::to_string(stats.no_depth_rejections);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<double>(elapsed.count()) / 1e9;
}
