#pragma once
// Depth liveness: a person's face has relief, a photo is flat at whatever angle it is held, and a screen's glass
// gives the sensor no depth at all.
#include <string>

#include <opencv2/core.hpp>

#include "core/options.h"
#include "core/run_log.h"

// The colour camera's pinhole: focal lengths and centre in colour pixels.
struct ColourCamera {
    double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;
};

// Depth mapped onto one colour frame: 32-bit floats in millimetres, two rows taller than the colour image
// (colour row r is row r + 1); a value that is not positive and finite is no depth.
struct DepthView {
    cv::Mat bigdepth;
    ColourCamera camera;
};

struct LivenessCheck {
    std::string reason;   // kReasonAccepted, kReasonFlat or kReasonNoDepth
    double relief = 0.0;  // millimetres the face's middle stands out of its rim; 0 without enough depth
    int valid_points = 0;
    int sampled_points = 0;
};

// Samples the depth inside the face rectangle (colour pixels), turns it into millimetres in the colour camera's
// frame and fits a plane robustly (so the background behind the face and stray pixels do not count). The relief is
// how far the face's middle (nose, eyes, cheeks) stands in front of that plane compared with its sides (the face
// curving back towards the ears): the median residual of the middle minus that of the sides. A flat surface at any
// angle scores about 0 whatever its distance, a photo bent concave below 0. Too few valid depth pixels (outside
// the depth camera's view or range, a screen's glass) is no_depth; relief below `min_relief` is flat.
LivenessCheck check_liveness(const DepthView &depth, const cv::Rect &face, double min_relief);

// Start-up report lines of an enabled liveness check; nothing when it is off.
void log_liveness_settings(const Options &options, Logger &logger);
