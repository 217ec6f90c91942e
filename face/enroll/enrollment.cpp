#include "enroll/enrollment.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "core/frame_steps.h"
#include "core/identity.h"
#include "core/samples.h"

namespace {

std::string size_text(const cv::Size &size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The gate's measurements of a face that saved nothing, for tuning the quality options.
std::string gate_pieces(const FaceQuality &quality) {
    return ", face_size=" + size_text(quality.face_size) + ", sharpness=" + format_real(quality.sharpness) +
           ", brightness=" + format_real(quality.brightness) + ", contrast=" + format_real(quality.contrast);
}

std::string skipped_line(const EnrollVerdict &verdict, const std::string &where) {
    std::string line = "skipped " + where + ", reason=" + verdict.reason;
    if (verdict.reason == "several_faces") line += ", faces=" + std::to_string(verdict.faces.size());
    if (!verdict.clipped.empty() && verdict.reason != "several_faces") line += gate_pieces(verdict.quality);
    if (verdict.reason == kReasonFlat) line += ", relief=" + format_real(verdict.quality.relief);
    if (verdict.compared) line += ", change=" + format_real(verdict.change);
    return line;
}

std::string saved_line(const EnrollVerdict &verdict, const std::string &where, const SavedSample &saved) {
    std::string line = "saved " + where + ", file=" + saved.file + ", sample_id=" + saved.sample_id +
                       ", face_size=" + size_text(verdict.quality.face_size);
    if (verdict.compared) line += ", change=" + format_real(verdict.change);
    return line;
}

}  // namespace

cv::Mat sample_from_crop(const cv::Mat &crop, SampleTone tone) {
    if (tone == SampleTone::Equalised) return build_probe(crop);
    cv::Mat sample;
    cv::resize(as_grey(crop), sample, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
    return sample;
}

double sample_change(const cv::Mat &a, const cv::Mat &b) {
    const cv::Size coarse(20, 20);
    cv::Mat small_a, small_b;
    cv::resize(a, small_a, coarse, 0, 0, cv::INTER_AREA);
    cv::resize(b, small_b, coarse, 0, 0, cv::INTER_AREA);
    return cv::norm(small_a, small_b, cv::NORM_L2) / std::sqrt(static_cast<double>(coarse.area()));
}

EnrollVerdict judge_picture(cv::CascadeClassifier &detector, cv::Mat &grey, const EnrollOptions &options,
                            const SavedFace &last, SampleTone tone, const DepthView *depth) {
    return judge_faces(find_faces(detector, grey, options.face), grey, options, last, tone, depth);
}

EnrollVerdict judge_faces(const std::vector<cv::Rect> &faces, const cv::Mat &grey, const EnrollOptions &options,
                          const SavedFace &last, SampleTone tone, const DepthView *depth) {
    EnrollVerdict verdict;
    verdict.faces = faces;
    if (verdict.faces.size() > 1) {
        verdict.reason = "several_faces";  // a second face could be someone else
        return verdict;
    }
    GatedFace gated;
    if (verdict.faces.size() == 1) gated = gate_face(grey, verdict.faces[0], options.face, depth);
    if (gated.clipped.empty()) {
        verdict.reason = "no_face";
        return verdict;
    }
    verdict.clipped = gated.clipped;
    verdict.quality = gated.quality;
    verdict.reason = gated.quality.reason;
    if (!gated.quality.accepted) return verdict;

    verdict.sample = sample_from_crop(gated.crop, tone);
    const cv::Rect previous = last.clipped & cv::Rect(0, 0, grey.cols, grey.rows);
    if (!last.sample.empty() && !previous.empty()) {
        verdict.compared = true;
        verdict.change = sample_change(sample_from_crop(grey(previous), tone), last.sample);
        if (verdict.change < options.min_change) {
            verdict.reason = "too_similar";
            return verdict;
        }
    }
    verdict.save = true;
    return verdict;
}

void count_skip(EnrollStats &stats, const std::string &reason) {
    for (size_t i = 0; i < kSkipReasons.size(); ++i)
        if (reason == kSkipReasons[i]) ++stats.skipped[i];
    for (size_t i = 0; i < kLivenessReasons.size(); ++i)
        if (reason == kLivenessReasons[i]) ++stats.liveness_skipped[i];
}

bool record_verdict(const EnrollVerdict &verdict, const std::string &where, SampleStore &store,
                    EnrollStats &stats, SavedFace &last, Logger &logger) {
    if (!verdict.save) {
        count_skip(stats, verdict.reason);
        logger.line(skipped_line(verdict, where));
        return true;
    }
    SavedSample saved;
    std::string problem;
    if (!save_sample(store, verdict.sample, saved, problem)) {
        logger.line("error: " + problem);
        return false;
    }
    ++stats.saved;
    last.sample = verdict.sample;
    last.clipped = verdict.clipped;
    logger.line(saved_line(verdict, where, saved));
    return true;
}

std::string enroll_summary_line(const EnrollStats &stats, int count, bool liveness) {
    const double rate = stats.seconds > 0.0 ? stats.looked_at / stats.seconds : 0.0;
    std::string line = "summary: looked_at=" + std::to_string(stats.looked_at) +
                       ", saved=" + std::to_string(stats.saved) + ", count=" + std::to_string(count) +
                       ", per_second=" + format_real(rate);
    for (size_t i = 0; i < kSkipReasons.size(); ++i)
        line += std::string(", ") + kSkipReasons[i] + "=" + std::to_string(stats.skipped[i]);
    for (size_t i = 0; liveness && i < kLivenessReasons.size(); ++i)
        line += std::string(", ") + kLivenessReasons[i] + "=" + std::to_string(stats.liveness_skipped[i]);
    return line;
}

void draw_enroll_overlay(cv::Mat &colour, const EnrollVerdict &verdict, const EnrollStats &stats, int count) {
    if (verdict.reason == "several_faces") {
        for (const cv::Rect &face : verdict.faces) {
            const cv::Rect clipped = face & cv::Rect(0, 0, colour.cols, colour.rows);
            cv::rectangle(colour, clipped, kOverlayOrange, 3, cv::LINE_8);
            put_overlay_text(colour, verdict.reason, cv::Point(clipped.x, text_baseline(clipped.y, 10)), 0.9,
                             kOverlayOrange, 2);
        }
    } else if (!verdict.clipped.empty()) {
        const cv::Scalar colour_of_verdict = verdict.save                       ? kOverlayGreen
                                             : verdict.reason == "too_similar" ? kOverlayYellow
                                                                                : kOverlayOrange;
        cv::rectangle(colour, verdict.clipped, colour_of_verdict, 3, cv::LINE_8);
        put_overlay_text(colour, verdict.save ? "saved" : verdict.reason,
                         cv::Point(verdict.clipped.x, text_baseline(verdict.clipped.y, 10)), 0.9, colour_of_verdict,
                         2);
    }
    put_overlay_text(colour, "Saved " + std::to_string(stats.saved) + "/" + std::to_string(count), cv::Point(30, 60),
                     1.3, kOverlayGreen, 3);
    if (!verdict.save) {
        put_overlay_text(colour, "Last: " + verdict.reason, cv::Point(30, 110), 0.8, kOverlayYellow, 2);
    }
}
