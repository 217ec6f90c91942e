// Cost per face of the quality gate and of the identity decision (LBPH prediction plus profile
// search), in microseconds. The decision's cost grows with the number of training samples.
#include <benchmark/benchmark.h>

#include <cfloat>

#include <opencv2/imgproc.hpp>

#include "identity.h"
#include "quality.h"

namespace {

// Textured enough to pass every gate test, so the Laplacian is always computed.
cv::Mat face_like_crop(int side, unsigned seed) {
    cv::Mat crop(side, side, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(crop, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(crop, crop, cv::Size(3, 3), 0.8);
    return crop;
}

std::vector<TrainingSample> make_samples(int count) {
    std::vector<TrainingSample> samples(count);
    for (int i = 0; i < count; ++i) {
        samples[i].image = face_like_crop(kSampleSide, 1000 + i);
        samples[i].metadata.stage = "bench";
        samples[i].metadata.file = "bench/" + std::to_string(i) + ".png";
    }
    return samples;
}

cv::Ptr<cv::face::LBPHFaceRecognizer> train(const std::vector<TrainingSample> &samples) {
    std::vector<cv::Mat> images;
    for (const TrainingSample &s : samples) images.push_back(s.image);
    auto recognizer = cv::face::LBPHFaceRecognizer::create(1, 8, 8, 8, DBL_MAX);
    recognizer->train(images, std::vector<int>(images.size(), 1));
    return recognizer;
}

void BM_EvaluateFaceQuality200(benchmark::State &state) {
    const cv::Mat crop = face_like_crop(200, 7);
    const Options options;
    if (!evaluate_face_quality(crop, options).accepted) state.SkipWithError("crop not accepted");
    for (auto _ : state) benchmark::DoNotOptimize(evaluate_face_quality(crop, options));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateFaceQuality200)->Unit(benchmark::kMicrosecond);

// One accepted 200 x 200 face per iteration, window and counters carried over as in a run.
void BM_DecideIdentity(benchmark::State &state) {
    const auto samples = make_samples(static_cast<int>(state.range(0)));
    const auto recognizer = train(samples);
    const cv::Mat crop = face_like_crop(200, 7);
    Options options;
    const FaceQuality quality = evaluate_face_quality(crop, options);
    if (!quality.accepted) state.SkipWithError("crop not accepted");
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;  // calibration off: nothing is written
    for (auto _ : state)
        benchmark::DoNotOptimize(
            decide_identity(quality, crop, *recognizer, samples, options, window, stats, logger));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecideIdentity)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The two halves of the decision, to see which one dominates.
void BM_LbphPredict(benchmark::State &state) {
    const auto samples = make_samples(static_cast<int>(state.range(0)));
    const auto recognizer = train(samples);
    const cv::Mat probe = face_like_crop(kSampleSide, 7);
    int label = -1;
    double confidence = 0.0;
    for (auto _ : state) {
        recognizer->predict(probe, label, confidence);
        benchmark::DoNotOptimize(confidence);
    }
}
BENCHMARK(BM_LbphPredict)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_PredictIdentity(benchmark::State &state) {
    const auto samples = make_samples(static_cast<int>(state.range(0)));
    const auto recognizer = train(samples);
    const cv::Mat probe = face_like_crop(kSampleSide, 7);
    int label = -1;
    double confidence = 0.0;
    for (auto _ : state) {
        predict_identity(*recognizer, probe, label, confidence);
        benchmark::DoNotOptimize(confidence);
    }
}
BENCHMARK(BM_PredictIdentity)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_FindBestProfile(benchmark::State &state) {
    const auto samples = make_samples(static_cast<int>(state.range(0)));
    const cv::Mat probe = face_like_crop(kSampleSide, 7);
    for (auto _ : state) benchmark::DoNotOptimize(find_best_profile(probe, samples));
}
BENCHMARK(BM_FindBestProfile)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
