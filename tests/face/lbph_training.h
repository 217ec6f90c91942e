#pragma once
// An LBPH recogniser trained directly, to compare the program's decisions against.
#include <cfloat>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/face.hpp>

namespace face_test {

// Same recogniser settings as the program's training step.
inline cv::Ptr<cv::face::LBPHFaceRecognizer> train_lbph(const std::vector<cv::Mat> &images,
                                                        const std::vector<int> &labels) {
    auto recognizer = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, DBL_MAX);
    recognizer->train(images, labels);
    return recognizer;
}

}  // namespace face_test
