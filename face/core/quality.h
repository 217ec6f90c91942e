#pragma once
// Per-face quality gate: size, brightness, contrast, then sharpness, stopping at the first failure.
#include <string>

#include <opencv2/core.hpp>

#include "core/names.h"
#include "core/options.h"
#include "core/run_log.h"

struct FaceQuality {
    cv::Size face_size;
    double sharpness = 0.0;
    double brightness = 0.0;
    double contrast = 0.0;
    bool accepted = false;
    std::string reason = kReasonNotEvaluated;
    double relief = 0.0;  // millimetres, measured only by the liveness check (core/liveness.h)
};

// `crop` is an 8-bit grey, non-empty copy of the clipped face rectangle (a BGR or BGRA crop is
// measured in grey).
FaceQuality evaluate_face_quality(const cv::Mat &crop, const Options &options);

// The crop itself when it is one-channel, else its grey conversion.
cv::Mat as_grey(const cv::Mat &crop);

// The gate's limits as start-up report lines: minimum face size, sharpness, brightness range, contrast.
void log_quality_settings(const Options &options, Logger &logger);
