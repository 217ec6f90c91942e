// Quality gate: size, brightness, contrast and sharpness, with the bounds exactly at each threshold.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "core/quality.h"
#include "synthetic_images.h"

namespace {

using face_test::checkerboard;

Options defaults() { return Options{}; }

void expect_unmeasured_sharpness(const FaceQuality &q) {
    EXPECT_FALSE(q.accepted);
    EXPECT_EQ(q.sharpness, 0.0);
}

// Reflect-101 index: -1 -> 1, n -> n-2.
int reflect101(int i, int n) {
    if (i < 0) return -i;
    if (i >= n) return 2 * n - 2 - i;
    return i;
}

// Population variance of the 4-neighbour Laplacian, written out by hand.
double hand_laplacian_variance(const cv::Mat &image) {
    const int w = image.cols, h = image.rows;
    std::vector<double> values;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            auto at = [&](int yy, int xx) { return double(image.at<uchar>(reflect101(yy, h), reflect101(xx, w))); };
            values.push_back(at(y - 1, x) + at(y + 1, x) + at(y, x - 1) + at(y, x + 1) - 4 * at(y, x));
        }
    double mean = 0.0;
    for (double v : values) mean += v;
    mean /= values.size();
    double variance = 0.0;
    for (double v : values) variance += (v - mean) * (v - mean);
    return variance / values.size();
}

TEST(QualitySize, ShorterSideExactlyAtMinimumPassesAndOneLessIsTooSmall) {
    const FaceQuality at = evaluate_face_quality(checkerboard(80, 120, 100, 160), defaults());
    EXPECT_TRUE(at.accepted);
    EXPECT_EQ(at.reason, "accepted");
    EXPECT_EQ(at.face_size, cv::Size(80, 120));

    for (cv::Size size : {cv::Size(79, 120), cv::Size(200, 79)}) {
        const FaceQuality q = evaluate_face_quality(checkerboard(size.width, size.height, 100, 160), defaults());
        EXPECT_EQ(q.reason, "too_small") << size;
        EXPECT_EQ(q.face_size, size);
        EXPECT_FALSE(q.accepted);
        EXPECT_EQ(q.brightness, 0.0);
        EXPECT_EQ(q.contrast, 0.0);
        EXPECT_EQ(q.sharpness, 0.0);
    }
}

TEST(QualitySize, DetectionPastTheFrameEdgeIsJudgedByItsClippedSize) {
    const cv::Mat frame = checkerboard(640, 480, 90, 170);
    const cv::Rect detection(640 - 60, 100, 100, 100);  // 40 columns outside the frame
    const cv::Rect clipped = detection & cv::Rect(0, 0, frame.cols, frame.rows);
    const FaceQuality q = evaluate_face_quality(frame(clipped).clone(), defaults());
    EXPECT_EQ(q.face_size, cv::Size(60, 100));
    EXPECT_EQ(q.reason, "too_small");
}

TEST(QualitySize, SizeIsTestedBeforeAnyPixelStatistic) {
    const FaceQuality q = evaluate_face_quality(cv::Mat(50, 50, CV_8UC1, cv::Scalar(5)), defaults());
    EXPECT_EQ(q.reason, "too_small");
    EXPECT_EQ(q.brightness, 0.0);
}

TEST(QualityBrightness, BoundsAreInclusive) {
    // 15/55: mean 35, deviation 20 (also exactly at the contrast bound).
    const FaceQuality low = evaluate_face_quality(checkerboard(100, 100, 15, 55), defaults());
    EXPECT_DOUBLE_EQ(low.brightness, 35.0);
    EXPECT_DOUBLE_EQ(low.contrast, 20.0);
    EXPECT_EQ(low.reason, "accepted");

    const FaceQuality high = evaluate_face_quality(checkerboard(100, 100, 200, 240), defaults());
    EXPECT_DOUBLE_EQ(high.brightness, 220.0);
    EXPECT_EQ(high.reason, "accepted");
}

TEST(QualityBrightness, JustOutsideTheBoundsIsTooDarkOrTooBright) {
    const FaceQuality dark = evaluate_face_quality(checkerboard(100, 100, 14, 55), defaults());
    EXPECT_DOUBLE_EQ(dark.brightness, 34.5);
    EXPECT_EQ(dark.reason, "too_dark");
    EXPECT_DOUBLE_EQ(dark.contrast, 20.5);  // measured in the same pass, kept
    expect_unmeasured_sharpness(dark);

    const FaceQuality bright = evaluate_face_quality(checkerboard(100, 100, 201, 240), defaults());
    EXPECT_DOUBLE_EQ(bright.brightness, 220.5);
    EXPECT_EQ(bright.reason, "too_bright");
    expect_unmeasured_sharpness(bright);
}

TEST(QualityBrightness, TooDarkWinsOverLowContrastAndKeepsTheContrast) {
    const FaceQuality q = evaluate_face_quality(checkerboard(100, 100, 10, 14), defaults());
    EXPECT_EQ(q.reason, "too_dark");
    EXPECT_DOUBLE_EQ(q.brightness, 12.0);
    EXPECT_DOUBLE_EQ(q.contrast, 2.0);
    expect_unmeasured_sharpness(q);
}

TEST(QualityBrightness, EqualBoundsPassOnlyThatExactMean) {
    Options options = defaults();
    options.quality_min_brightness = options.quality_max_brightness = 128.0;
    EXPECT_EQ(evaluate_face_quality(checkerboard(100, 100, 108, 148), options).reason, "accepted");
    EXPECT_EQ(evaluate_face_quality(checkerboard(100, 100, 107, 148), options).reason, "too_dark");
    EXPECT_EQ(evaluate_face_quality(checkerboard(100, 100, 109, 148), options).reason, "too_bright");
}

TEST(QualityContrast, JustBelowTheBoundIsLowContrast) {
    const FaceQuality q = evaluate_face_quality(checkerboard(100, 100, 100, 139), defaults());
    EXPECT_DOUBLE_EQ(q.contrast, 19.5);
    EXPECT_DOUBLE_EQ(q.brightness, 119.5);
    EXPECT_EQ(q.reason, "low_contrast");
    expect_unmeasured_sharpness(q);
}

TEST(QualityContrast, UniformCropFallsThroughContrastAndSharpnessAsThresholdsAreLowered) {
    const cv::Mat uniform(120, 120, CV_8UC1, cv::Scalar(128));
    Options options = defaults();

    FaceQuality q = evaluate_face_quality(uniform, options);
    EXPECT_EQ(q.reason, "low_contrast");
    EXPECT_EQ(q.brightness, 128.0);
    EXPECT_EQ(q.contrast, 0.0);

    options.quality_min_contrast = 0.0;
    q = evaluate_face_quality(uniform, options);
    EXPECT_EQ(q.reason, "too_blurry");
    EXPECT_EQ(q.sharpness, 0.0);
    EXPECT_FALSE(q.accepted);

    options.quality_min_sharpness = 0.0;
    q = evaluate_face_quality(uniform, options);
    EXPECT_EQ(q.reason, "accepted");
    EXPECT_TRUE(q.accepted);
}

TEST(QualitySharpness, ExactlyAtTheBoundPassesAndJustAboveItIsTooBlurry) {
    const cv::Mat crop = checkerboard(100, 100, 100, 140);  // Laplacian +-160 everywhere
    Options options = defaults();
    options.quality_min_sharpness = 25600.0;
    const FaceQuality at = evaluate_face_quality(crop, options);
    EXPECT_EQ(at.sharpness, 25600.0);
    EXPECT_EQ(at.reason, "accepted");

    options.quality_min_sharpness = 25600.5;
    const FaceQuality above = evaluate_face_quality(crop, options);
    EXPECT_EQ(above.reason, "too_blurry");
    EXPECT_EQ(above.sharpness, 25600.0);  // measured and kept even when rejected
    EXPECT_FALSE(above.accepted);
}

TEST(QualitySharpness, IsThePopulationVarianceOfTheUnclippedFourNeighbourLaplacian) {
    // Noise has Laplacian responses far outside 0..255, so an 8-bit or 16-bit output,
    // a 3x3 aperture or a sample variance would all give another number.
    for (unsigned seed : {1u, 7u, 42u}) {
        const cv::Mat crop = face_test::noise_image(97, 83, seed);
        Options options = defaults();
        options.quality_min_face_size = 1;
        const FaceQuality q = evaluate_face_quality(crop, options);
        ASSERT_EQ(q.reason, "accepted");
        EXPECT_NEAR(q.sharpness, hand_laplacian_variance(crop), 1e-6 * q.sharpness) << "seed " << seed;
    }
}

TEST(QualitySharpness, SmoothedFaceSizedCropIsTooBlurry) {
    cv::Mat crop = face_test::noise_image(160, 160, 3);
    cv::GaussianBlur(crop, crop, cv::Size(0, 0), 4.0);
    cv::normalize(crop, crop, 40, 200, cv::NORM_MINMAX);  // keep brightness and contrast in range
    const FaceQuality q = evaluate_face_quality(crop, defaults());
    EXPECT_EQ(q.reason, "too_blurry");
    EXPECT_LT(q.sharpness, 60.0);
    EXPECT_GT(q.sharpness, 0.0);
    EXPECT_GE(q.contrast, 20.0);
}

TEST(QualityInput, ColourCropIsMeasuredInGrey) {
    const cv::Mat grey = face_test::noise_image(120, 100, 11);
    cv::Mat bgr, bgra;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    cv::cvtColor(grey, bgra, cv::COLOR_GRAY2BGRA);
    const FaceQuality expected = evaluate_face_quality(grey, defaults());
    for (const cv::Mat &colour : {bgr, bgra}) {
        const FaceQuality q = evaluate_face_quality(colour, defaults());
        EXPECT_EQ(q.reason, expected.reason);
        EXPECT_EQ(q.face_size, cv::Size(120, 100));
        EXPECT_DOUBLE_EQ(q.brightness, expected.brightness);
        EXPECT_DOUBLE_EQ(q.sharpness, expected.sharpness);
    }
    EXPECT_EQ(evaluate_face_quality(cv::Mat(), defaults()).reason, "too_small");
}

}  // namespace
