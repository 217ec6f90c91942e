#include "core/identity.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void push_confirmation_hit(ConfirmationWindow &window, int hit, int window_length) {
    window.entries.push_back(hit != 0 ? 1 : 0);
    window.hits += window.entries.back();
    while (static_cast<int>(window.entries.size()) > window_length) {
        window.hits -= window.entries.front();
        window.entries.pop_front();
    }
}

int confirmation_hits(const ConfirmationWindow &window) { return window.hits; }

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

// Local binary pattern codes: bit n is set when the interpolated neighbour n is at least the centre.
// The float arithmetic is spelled out exactly as OpenCV's LBPH forms it, so the codes match bit for bit.
// Grey levels are converted to float once (exact) and the test is branch-free, so the loop vectorises.
cv::Mat lbp_codes(const cv::Mat &grey, int radius, int neighbors) {
    cv::Mat src;
    grey.convertTo(src, CV_32F);
    cv::Mat codes = cv::Mat::zeros(src.rows - 2 * radius, src.cols - 2 * radius, CV_32SC1);
    const float epsilon = std::numeric_limits<float>::epsilon();
    for (int n = 0; n < neighbors; ++n) {
        const float x = static_cast<float>(radius * std::cos(2.0 * CV_PI * n / static_cast<float>(neighbors)));
        const float y = static_cast<float>(-radius * std::sin(2.0 * CV_PI * n / static_cast<float>(neighbors)));
        const int fx = static_cast<int>(std::floor(x)), fy = static_cast<int>(std::floor(y));
        const int cx = static_cast<int>(std::ceil(x)), cy = static_cast<int>(std::ceil(y));
        const float ty = y - fy, tx = x - fx;
        const float w1 = (1 - tx) * (1 - ty), w2 = tx * (1 - ty), w3 = (1 - tx) * ty, w4 = tx * ty;
        for (int i = radius; i < src.rows - radius; ++i) {
            const float *__restrict centre = src.ptr<float>(i) + radius;
            const float *__restrict upper = src.ptr<float>(i + fy) + radius;
            const float *__restrict lower = src.ptr<float>(i + cy) + radius;
            int *__restrict out = codes.ptr<int>(i - radius);
            for (int k = 0; k < codes.cols; ++k) {
                const float t = w1 * upper[k + fx] + w2 * upper[k + cx] + w3 * lower[k + fx] + w4 * lower[k + cx];
                const float c = centre[k];
                out[k] |= static_cast<int>((t > c) | (std::fabs(t - c) < epsilon)) << n;
            }
        }
    }
    return codes;
}

// Per-cell normalised histograms of the codes, one row of `patterns` bins per cell, built with the
// same OpenCV operations as the recogniser's own so every float is identical.
cv::Mat lbp_spatial_histogram(const cv::Mat &codes, int patterns, int grid_x, int grid_y) {
    const int width = codes.cols / grid_x, height = codes.rows / grid_y;
    cv::Mat result = cv::Mat::zeros(grid_x * grid_y, patterns, CV_32FC1);
    const float range[] = {0.0f, static_cast<float>(patterns)};
    const float *ranges = range;
    int row = 0;
    for (int i = 0; i < grid_y; ++i)
        for (int j = 0; j < grid_x; ++j) {
            const cv::Mat cell(codes, cv::Range(i * height, (i + 1) * height), cv::Range(j * width, (j + 1) * width));
            const cv::Mat cell_values = cv::Mat_<float>(cell);
            cv::Mat hist;
            cv::calcHist(&cell_values, 1, nullptr, cv::Mat(), hist, 1, &patterns, &ranges, true, false);
            hist /= static_cast<int>(cell.total());
            cv::Mat result_row = result.row(row++);
            hist.reshape(1, 1).convertTo(result_row, CV_32FC1);
        }
    return result.reshape(1, 1);
}

// The chi-square terms of one block of bins, as compareHist forms them: float difference and sum,
// then a double quotient, and no term where the sum is zero. Branch-free, so sparse histograms cost
// no mispredictions; each lane rounds exactly like the scalar expression.
void chi_square_terms(const float *h1, const float *h2, int count, double *terms) {
    int j = 0;
#if defined(__SSE2__)
    const __m128d epsilon = _mm_set1_pd(DBL_EPSILON);
    const __m128d sign = _mm_set1_pd(-0.0);
    auto quotients = [&](__m128d a, __m128d b) {
        const __m128d q = _mm_div_pd(_mm_mul_pd(a, a), b);
        return _mm_and_pd(q, _mm_cmpgt_pd(_mm_andnot_pd(sign, b), epsilon));
    };
    for (; j + 4 <= count; j += 4) {
        const __m128 x = _mm_loadu_ps(h1 + j), y = _mm_loadu_ps(h2 + j);
        const __m128 a = _mm_sub_ps(x, y), b = _mm_add_ps(x, y);
        _mm_storeu_pd(terms + j, quotients(_mm_cvtps_pd(a), _mm_cvtps_pd(b)));
        _mm_storeu_pd(terms + j + 2, quotients(_mm_cvtps_pd(_mm_movehl_ps(a, a)), _mm_cvtps_pd(_mm_movehl_ps(b, b))));
    }
#endif
    for (; j < count; ++j) {
        const double a = h1[j] - h2[j];
        const double b = h1[j] + h2[j];
        terms[j] = std::fabs(b) > DBL_EPSILON ? a * a / b : 0.0;
    }
}

// Half the chi-square distance in OpenCV's alternative form, summed in bin order as compareHist
// does. Terms are never negative, so once the partial sum reaches `limit` the sample cannot be
// closer: it stops there and returns the partial sum.
double half_chi_square_alt(const float *h1, const float *h2, int length, double limit) {
    constexpr int kBlock = 256;  // one LBP cell with 8 neighbours
    double terms[kBlock];
    double sum = 0.0;
    for (int start = 0; start < length; start += kBlock) {
        const int count = std::min(kBlock, length - start);
        chi_square_terms(h1 + start, h2 + start, count, terms);
        for (int j = 0; j < count; ++j) sum += terms[j];  // sequential: the same rounding as compareHist
        if (sum >= limit) break;
    }
    return sum;
}

bool same_layout(const cv::Mat &histogram, const cv::Mat &query) {
    return histogram.type() == CV_32FC1 && histogram.isContinuous() && histogram.total() == query.total();
}

}  // namespace

cv::Mat lbph_probe_histogram(const cv::face::LBPHFaceRecognizer &model, const cv::Mat &probe) {
    const int patterns = 1 << model.getNeighbors();
    return lbp_spatial_histogram(lbp_codes(probe, model.getRadius(), model.getNeighbors()), patterns,
                                 model.getGridX(), model.getGridY());
}

void predict_identity(const cv::face::FaceRecognizer &recognizer, const cv::Mat &probe, int &label,
                      double &confidence) {
    // Anything but the plain LBPH model of the training step is left to the recogniser itself.
    const auto *lbph = dynamic_cast<const cv::face::LBPHFaceRecognizer *>(&recognizer);
    if (lbph == nullptr || lbph->getThreshold() != DBL_MAX || probe.type() != CV_8UC1 ||
        lbph->getRadius() < 1 || lbph->getNeighbors() < 1 || lbph->getNeighbors() > 16 ||
        lbph->getGridX() < 1 || lbph->getGridY() < 1 || probe.rows <= 2 * lbph->getRadius() + lbph->getGridY() ||
        probe.cols <= 2 * lbph->getRadius() + lbph->getGridX()) {
        recognizer.predict(probe, label, confidence);
        return;
    }
    const std::vector<cv::Mat> histograms = lbph->getHistograms();
    const cv::Mat labels = lbph->getLabels();
    if (histograms.empty() || labels.total() != histograms.size() || labels.type() != CV_32SC1) {
        recognizer.predict(probe, label, confidence);
        return;
    }
    const cv::Mat query = lbph_probe_histogram(*lbph, probe);
    for (const cv::Mat &h : histograms)
        if (!same_layout(h, query)) {
            recognizer.predict(probe, label, confidence);
            return;
        }

    // Like OpenCV's standard collector: the first strictly smallest distance wins.
    double best = DBL_MAX;
    int best_label = -1;
    const int length = static_cast<int>(query.total());
    for (size_t i = 0; i < histograms.size(); ++i) {
        const double half = half_chi_square_alt(histograms[i].ptr<float>(), query.ptr<float>(), length, best / 2);
        const double distance = half * 2;  // exact: doubling never rounds
        if (distance < best) {
            best = distance;
            best_label = labels.at<int>(static_cast<int>(i));
        }
    }
    label = best_label;
    confidence = best;
}

cv::Mat build_probe(const cv::Mat &crop) {
    cv::Mat probe = as_grey(crop).clone();
    cv::equalizeHist(probe, probe);
    cv::resize(probe, probe, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
    return probe;
}

namespace {

const std::string &or_unknown(const std::string &text) {
    static const std::string unknown = "unknown";
    return text.empty() ? unknown : text;
}

}  // namespace

std::string calibration_line(const IdentityDecision &decision, const FaceQuality &quality, const Options &options,
                             const ConfirmationWindow &window, const RunStats &stats) {
    return "calibration frame=" + std::to_string(stats.processed_frames) +
           ", confidence=" + format_real(decision.confidence) + ", label=" + decision.label +
           ", candidate_threshold=" + format_real(options.candidate_threshold) +
           ", confirmed_threshold=" + format_real(options.confirmed_threshold) +
           ", face_size=" + std::to_string(quality.face_size.width) + "x" +
           std::to_string(quality.face_size.height) + ", sharpness=" + format_real(quality.sharpness) +
           ", brightness=" + format_real(quality.brightness) +
           ", contrast=" + format_real(quality.contrast) + ", quality=" + quality.reason +
           ", confirmation_hits=" + std::to_string(decision.hits) +
           ", confirmation_window=" + std::to_string(window.entries.size()) +
           ", best_profile_stage=" + stats.last_best_profile_stage +
           ", matched_sample=" + stats.last_matched_sample;
}

const std::string &label_name(IdentityLabel label) {
    static const std::string names[] = {kLabelNames[0], kLabelNames[1], kLabelNames[2]};
    return names[static_cast<int>(label)];
}

PredictionHits judge_prediction(bool accepted, int predicted_label, double confidence, const Options &options) {
    // LBPH confidence is a distance: both limits are inclusive upper bounds.
    const bool is_veyra = accepted && predicted_label == 1;
    return {is_veyra && confidence <= options.candidate_threshold,
            is_veyra && confidence <= options.confirmed_threshold};
}

IdentityLabel label_from_hits(const PredictionHits &prediction, long long hits, const Options &options) {
    if (prediction.strict_hit && hits >= options.confirm_min_hits) return IdentityLabel::ConfirmedVeyra;
    if (prediction.candidate) return IdentityLabel::CandidateVeyra;
    return IdentityLabel::Unknown;
}

IdentityLabel label_face(bool accepted, int predicted_label, double confidence, const Options &options,
                         ConfirmationWindow &window) {
    const PredictionHits prediction = judge_prediction(accepted, predicted_label, confidence, options);
    push_confirmation_hit(window, prediction.strict_hit ? 1 : 0, options.confirm_window);
    return label_from_hits(prediction, confirmation_hits(window), options);
}

IdentityDecision decide_identity(const FaceQuality &quality, const cv::Mat &crop,
                                 const cv::face::FaceRecognizer &recognizer,
                                 const std::vector<TrainingSample> &samples, const Options &options,
                                 ConfirmationWindow &window, RunStats &stats, Logger &logger) {
    IdentityDecision decision;
    if (!quality.accepted) {
        // Rejected faces are never predicted, but still push a miss into the window.
        ++stats.quality_rejections;
    } else {
        const cv::Mat probe = build_probe(crop);
        predict_identity(recognizer, probe, decision.predicted_label, decision.confidence);
        decision.profile = find_best_profile(probe, samples);
    }
    const IdentityLabel label =
        label_face(quality.accepted, decision.predicted_label, decision.confidence, options, window);
    decision.label = label_name(label);
    switch (label) {
    case IdentityLabel::ConfirmedVeyra: ++stats.confirmed_veyra_predictions; break;
    case IdentityLabel::CandidateVeyra: ++stats.candidate_veyra_predictions; break;
    case IdentityLabel::Unknown: ++stats.unknown_predictions; break;
    }

    stats.last_label = decision.label;
    stats.last_confidence = decision.confidence;
    stats.last_best_profile_stage = or_unknown(decision.profile.metadata.stage);
    stats.last_matched_sample = or_unknown(decision.profile.metadata.file);
    decision.hits = confirmation_hits(window);

    if (options.calibration_log) logger.line(calibration_line(decision, quality, options, window, stats));
    return decision;
}
