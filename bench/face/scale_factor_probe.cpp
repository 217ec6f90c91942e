// One detection at a given --scale-factor, as lumivar_face runs it on a frame: conversion, the
// reduced equalised copy and detectMultiScale. Prints the faces found and the seconds it took;
// bench/face/bench_scale_factor.sh runs it once per factor under a time and memory limit.
//   face_bench_scale_factor_probe FRAME FACTOR [CASCADE]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/frame_steps.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FRAME FACTOR [CASCADE]\n", argv[0]);
        return 2;
    }
    Options options;
    options.scale_factor = std::strtod(argv[2], nullptr);
    if (argc > 3) options.cascade_path = argv[3];
    const cv::Mat bgr = cv::imread(argv[1]);
    cv::CascadeClassifier detector;
    if (bgr.empty() || !detector.load(options.cascade_path)) {
        std::fprintf(stderr, "cannot read the frame or the cascade\n");
        return 2;
    }
    cv::Mat bgrx;
    cv::cvtColor(bgr, bgrx, cv::COLOR_BGR2BGRA);

    const auto start = std::chrono::steady_clock::now();
    FrameImages images = convert_frame(bgrx, false);
    const cv::Mat detection = detection_image(images.grey, options.scale);
    const std::vector<cv::Rect> faces = detect_faces(detector, detection, options);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("faces=%zu seconds=%.3f\n", faces.size(), took.count());
    return 0;
}
