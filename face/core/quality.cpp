#include "core/quality.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace {

// Population mean and standard deviation of a one-channel image (cv::meanStdDev divides by N).
void grey_statistics(const cv::Mat &image, double &mean, double &stddev) {
    cv::Scalar m, s;
    cv::meanStdDev(image, m, s);
    mean = m[0];
    stddev = s[0];
}

// Variance of the 4-neighbour Laplacian, in 64-bit floats so no response is clipped.
double laplacian_variance(const cv::Mat &crop) {
    cv::Mat laplacian;
    cv::Laplacian(crop, laplacian, CV_64F, 1, 1.0, 0.0, cv::BORDER_DEFAULT);
    double mean = 0.0, stddev = 0.0;
    grey_statistics(laplacian, mean, stddev);
    return stddev * stddev;
}

}  // namespace

cv::Mat as_grey(const cv::Mat &crop) {
    if (crop.channels() == 1) return crop;
    cv::Mat grey;
    if (crop.channels() == 3 || crop.channels() == 4)
        cv::cvtColor(crop, grey, crop.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    else
        cv::extractChannel(crop, grey, 0);
    return grey;
}

FaceQuality evaluate_face_quality(const cv::Mat &face, const Options &options) {
    FaceQuality quality;
    quality.face_size = cv::Size(face.cols, face.rows);

    // Every comparison is strict: a value exactly at a bound passes.
    if (face.empty() || std::min(face.cols, face.rows) < options.quality_min_face_size) {
        quality.reason = kReasonTooSmall;
        return quality;
    }
    const cv::Mat crop = as_grey(face);

    grey_statistics(crop, quality.brightness, quality.contrast);
    if (quality.brightness < options.quality_min_brightness) {
        quality.reason = kReasonTooDark;
        return quality;
    }
    if (quality.brightness > options.quality_max_brightness) {
        quality.reason = kReasonTooBright;
        return quality;
    }
    if (quality.contrast < options.quality_min_contrast) {
        quality.reason = kReasonLowContrast;
        return quality;
    }

    // The Laplacian is the costliest measurement, so it comes last.
    quality.sharpness = laplacian_variance(crop);
    if (quality.sharpness < options.quality_min_sharpness) {
        quality.reason = kReasonTooBlurry;
        return quality;
    }
    quality.accepted = true;
    quality.reason = kReasonAccepted;
    return quality;
}

void log_quality_settings(const Options &o, Logger &logger) {
    logger.line("quality_min_face_size: " + std::to_string(o.quality_min_face_size));
    logger.line("quality_min_sharpness: " + format_real(o.quality_min_sharpness));
    logger.line("quality_brightness_range: " + format_real(o.quality_min_brightness) + "-" +
                format_real(o.quality_max_brightness));
    logger.line("quality_min_contrast: " + format_real(o.quality_min_contrast));
}
