#pragma once
// Colour frames for the simulated sensor: real photos pasted on textured backgrounds, checked against the
// detector so that every face found lies on a photo.
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "test_photos.h"

namespace face_test {

// Noise at several scales: the detector equalises the frame, and a flat canvas would hide faces.
inline cv::Mat textured_background(int width, int height, uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat sum(height, width, CV_32FC3, cv::Scalar::all(0));
    const std::pair<int, float> layers[] = {{8, 0.2f}, {32, 0.35f}, {128, 0.45f}};
    for (const auto &[cell, weight] : layers) {
        cv::Mat small(height / cell + 2, width / cell + 2, CV_32FC3);
        rng.fill(small, cv::RNG::UNIFORM, 0, 255);
        cv::Mat big;
        cv::resize(small, big, cv::Size(width + cell, height + cell), 0, 0, cv::INTER_CUBIC);
        sum += weight * big(cv::Rect(0, 0, width, height));
    }
    cv::Mat out;
    sum.convertTo(out, CV_8UC3, 0.8, 25);
    return out;
}

// Faces as lumivar_face finds them with its defaults: half size, equalised, 15 px minimum, mapped back.
inline std::vector<cv::Rect> default_detections(const cv::Mat &bgr) {
    static cv::CascadeClassifier detector(kHaarCascade);
    cv::Mat grey, small;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, small, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    cv::equalizeHist(small, small);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(small, faces, 1.1, 4, 0, cv::Size(15, 15));
    for (cv::Rect &f : faces) f = cv::Rect(f.x * 2, f.y * 2, f.width * 2, f.height * 2);
    return faces;
}

// The first background of that size in which the detector finds no face of its own.
inline cv::Mat clean_background(int width, int height) {
    for (uint64_t seed = 1; seed < 100; ++seed) {
        cv::Mat background = textured_background(width, height, seed);
        if (default_detections(background).empty()) return background;
    }
    throw std::runtime_error("no face-free background found");
}

// Blends `photo` into `frame` at (left, top) with soft edges, so its border does not look like a face.
inline void paste(cv::Mat &frame, const cv::Mat &photo, int left, int top, int feather = 40) {
    cv::Mat mask(photo.rows, photo.cols, CV_32FC1, cv::Scalar(0));
    mask(cv::Rect(feather, feather, photo.cols - 2 * feather, photo.rows - 2 * feather)) = 1.0f;
    cv::GaussianBlur(mask, mask, cv::Size(0, 0), feather / 2.0);
    cv::Mat region = frame(cv::Rect(left, top, photo.cols, photo.rows));
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            const float a = mask.at<float>(y, x);
            const cv::Vec3b p = photo.at<cv::Vec3b>(y, x);
            cv::Vec3b &q = region.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) q[c] = cv::saturate_cast<uchar>(a * p[c] + (1.0f - a) * q[c]);
        }
    }
}

struct Placement {
    cv::Mat photo;
    cv::Point top_left;
};

// Photos pasted on a textured background chosen so that every detection lies on a photo: the
// background's own texture must not add faces once the photos shift the frame's equalisation.
inline cv::Mat compose_frame(cv::Size size, const std::vector<Placement> &photos, int feather = 40) {
    for (uint64_t seed = 1; seed < 60; ++seed) {
        cv::Mat frame = textured_background(size.width, size.height, seed);
        for (const Placement &p : photos) paste(frame, p.photo, p.top_left.x, p.top_left.y, feather);
        bool clean = true;
        for (const cv::Rect &face : default_detections(frame)) {
            bool on_photo = false;
            for (const Placement &p : photos)
                on_photo |= (face & cv::Rect(p.top_left, p.photo.size())) == face;
            clean &= on_photo;
        }
        if (clean) return frame;
    }
    throw std::runtime_error("no background keeps its texture out of the detections");
}

}  // namespace face_test
