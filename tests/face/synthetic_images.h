#pragma once
// Images made up for a test: seeded noise and checkerboards with known statistics.
#include <cstdint>

#include <opencv2/core.hpp>

namespace face_test {

// Uniform noise whose pixels depend on `seed`, so images made with different seeds differ.
inline cv::Mat noise_image(int width, int height, uint64_t seed, int type = CV_8UC1) {
    cv::Mat image(height, width, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

// Alternating a and b: mean (a+b)/2, population deviation |a-b|/2, and under reflect-101
// borders every pixel's 4-neighbour Laplacian is 4(other - own), so its variance is 4(a-b)^2.
inline cv::Mat checkerboard(int width, int height, int a, int b) {
    cv::Mat image(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at<uchar>(y, x) = static_cast<uchar>(((x + y) % 2) ? b : a);
    return image;
}

}  // namespace face_test
