#pragma once
// Helpers shared by the quality, identity and real-face tests.
#include <cfloat>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/face.hpp>

namespace f2 {

// Alternating a and b: mean (a+b)/2, population deviation |a-b|/2, and under reflect-101
// borders every pixel's 4-neighbour Laplacian is 4(other - own), so its variance is 4(a-b)^2.
inline cv::Mat checkerboard(int width, int height, int a, int b) {
    cv::Mat image(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at<uchar>(y, x) = static_cast<uchar>(((x + y) % 2) ? b : a);
    return image;
}

inline cv::Mat noise_image(int width, int height, unsigned seed) {
    cv::Mat image(height, width, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

// Same recogniser settings as the program's training step.
inline cv::Ptr<cv::face::LBPHFaceRecognizer> train_lbph(const std::vector<cv::Mat> &images,
                                                        const std::vector<int> &labels) {
    auto recognizer = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, DBL_MAX);
    recognizer->train(images, labels);
    return recognizer;
}

inline std::string temp_path(const std::string &name) {
    return "/tmp/lumivar_f2_" + std::to_string(::getpid()) + "_" + name;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace f2
