#pragma once
// The --faces-out line of one processed frame: each face's box, verdicts and where it is as the colour camera
// sees it.
#include <string>
#include <vector>

#include "core/frame_steps.h"
#include "core/liveness.h"

// Degrees from the camera's axis to image column `u`: atan((u - cx) / fx), positive to the image's right.
double face_bearing_degrees(double u, const ColourCamera &camera);

// Metres to a face `width` pixels wide, taking every face as 0.15 m wide: 0.15 * fx / width.
double face_distance_m(double width, const ColourCamera &camera);

// The system clock in Unix seconds.
double unix_seconds_now();

// One JSON object, without a newline: time (Unix seconds, milliseconds kept), frame, and per face that overlaps the
// frame its clipped box, label, confidence, quality reason, with `liveness` whether it passed the liveness check
// (null when the gate rejected it first), bearing and distance.
std::string faces_line(double time, int frame, const std::vector<FaceOutcome> &faces, const ColourCamera &camera,
                       bool liveness);
