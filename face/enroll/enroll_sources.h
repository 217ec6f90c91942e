#pragma once
// The two places lumivar_enroll takes faces from: the Kinect v2 colour stream and a directory of photos.
#include <opencv2/objdetect.hpp>

#include "enroll/enroll_options.h"
#include "enroll/enrollment.h"
#include "core/run_log.h"
#include "enroll/sample_store.h"

// Opens the sensor as lumivar_face does and judges each colour frame until `count` samples are saved,
// `frames` frames were looked at, no frame comes in time, a frame cannot be used or processed, or q/Escape is
// pressed in the preview. Returns 5, 6 or 7 when the stream did not start, 10 after a failed write, else 0.
int enroll_from_sensor(const EnrollOptions &options, Logger &logger, cv::CascadeClassifier &detector,
                       SampleStore &store, EnrollStats &stats);

// Judges every image under `images_dir` in path order until `count` samples are saved; one that cannot be
// read or processed is skipped as unreadable. Returns 11 when the
// directory cannot be walked (nothing looked at), 10 after a failed write, else 0.
int enroll_from_images(const EnrollOptions &options, Logger &logger, cv::CascadeClassifier &detector,
                       SampleStore &store, EnrollStats &stats);
