#pragma once
// The live half: Kinect v2 colour frames, detection, gate, identity, overlay and status lines.
#include <vector>

#include <opencv2/face.hpp>
#include <opencv2/objdetect.hpp>

#include "core/options.h"
#include "core/run_log.h"
#include "core/samples.h"
#include "recognise/line_output.h"

// Returns the exit status: 0 for any end of the frame loop, 5, 6 or 7 when the sensor cannot be used.
// With `faces_out` every processed frame's faces go to it as one line (recognise/face_lines.h).
int run_recognition_loop(const Options &options, Logger &logger, const cv::face::FaceRecognizer &recognizer,
                         const std::vector<TrainingSample> &samples, cv::CascadeClassifier &detector,
                         LineOutput *faces_out = nullptr);
