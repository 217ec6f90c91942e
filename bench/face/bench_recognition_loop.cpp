// Where a frame's time goes in the live loop, step by step, on a 1920 x 1080 frame with one face:
// conversion, reduction, detection, gate, identity, drawing and showing, and the whole frame without
// the sensor's wait. The frame comes from scripts/make_face_demo.py and the samples from lumivar_enroll
// on its enrolment frames (bench/face_loop_fps.sh or scripts/run_demo.sh make them); LUMIVAR_BENCH_FRAME and
// LUMIVAR_BENCH_SAMPLES override the paths, LUMIVAR_BENCH_CASCADE and LUMIVAR_BENCH_MIN_FACE the detector
// settings.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/frame_steps.h"
#include "core/identity.h"
#include "sensor/preview_display.h"
#include "core/quality.h"
#include "core/samples.h"
#include "core/training.h"

namespace {

std::string env_or(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

// Everything a frame needs, prepared once.
struct Bench {
    Options options;
    cv::Mat bgrx;  // the sensor's 4-byte frame
    std::vector<TrainingSample> samples;
    cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer;
    cv::CascadeClassifier detector;
    std::string problem;

    Bench() {
        const std::string demo = std::string(LUMIVAR_SOURCE_DIR) + "/build/demo/face";
        const cv::Mat bgr = cv::imread(env_or("LUMIVAR_BENCH_FRAME", demo + "/frames/frame_0001.jpg"));
        if (bgr.empty()) {
            problem = "no frame: run bench/face_loop_fps.sh or scripts/run_demo.sh";
            return;
        }
        cv::cvtColor(bgr, bgrx, cv::COLOR_BGR2BGRA);
        if (!load_veyra_samples(env_or("LUMIVAR_BENCH_SAMPLES", demo + "/samples"), samples)) {
            problem = "no samples";
            return;
        }
        recognizer = train_recognizer(assemble_training_set(samples));
        options.cascade_path = env_or("LUMIVAR_BENCH_CASCADE", options.cascade_path);
        options.min_face_size = std::atoi(env_or("LUMIVAR_BENCH_MIN_FACE", "30").c_str());
        if (!detector.load(options.cascade_path)) problem = "cascade not loaded: " + options.cascade_path;
    }
};

Bench &bench() {
    static Bench b;
    return b;
}

bool ready(benchmark::State &state) {
    if (!bench().problem.empty()) {
        state.SkipWithError(bench().problem.c_str());
        return false;
    }
    return true;
}

// The frame's first detected face, as the loop cuts it.
cv::Mat first_face(cv::Rect *where = nullptr) {
    Bench &b = bench();
    FrameImages images = convert_frame(b.bgrx, false);
    const cv::Mat detection = detection_image(images.grey, b.options.scale);
    const std::vector<cv::Rect> faces = detect_faces(b.detector, detection, b.options);
    if (faces.empty()) return {};
    const cv::Rect clipped = faces[0] & cv::Rect(0, 0, images.grey.cols, images.grey.rows);
    if (where) *where = clipped;
    return images.grey(clipped).clone();
}

void BM_Conversion(benchmark::State &state) {
    if (!ready(state)) return;
    for (auto _ : state) benchmark::DoNotOptimize(convert_frame(bench().bgrx, false));
}

void BM_Reduction(benchmark::State &state) {
    if (!ready(state)) return;
    const FrameImages images = convert_frame(bench().bgrx, false);
    for (auto _ : state) {
        cv::Mat grey = images.grey;  // reduction never writes the grey image at scale < 1
        benchmark::DoNotOptimize(detection_image(grey, bench().options.scale));
    }
}

void BM_Detection(benchmark::State &state) {
    if (!ready(state)) return;
    FrameImages images = convert_frame(bench().bgrx, false);
    const cv::Mat detection = detection_image(images.grey, bench().options.scale);
    size_t found = 0;
    for (auto _ : state) found = detect_faces(bench().detector, detection, bench().options).size();
    state.counters["faces"] = static_cast<double>(found);
}

void BM_Gate(benchmark::State &state) {
    if (!ready(state)) return;
    const cv::Mat crop = first_face();
    if (crop.empty()) return state.SkipWithError("no face detected in the frame");
    for (auto _ : state) benchmark::DoNotOptimize(evaluate_face_quality(crop, bench().options));
}

void BM_Identity(benchmark::State &state) {
    if (!ready(state)) return;
    const cv::Mat crop = first_face();
    if (crop.empty()) return state.SkipWithError("no face detected in the frame");
    const FaceQuality quality = evaluate_face_quality(crop, bench().options);
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;
    for (auto _ : state)
        benchmark::DoNotOptimize(decide_identity(quality, crop, *bench().recognizer, bench().samples,
                                                 bench().options, window, stats, logger));
}

void BM_Drawing(benchmark::State &state) {
    if (!ready(state)) return;
    cv::Rect face;
    if (first_face(&face).empty()) return state.SkipWithError("no face detected in the frame");
    FrameImages images = convert_frame(bench().bgrx, false);
    IdentityDecision decision;
    decision.label = "ConfirmedVeyra";
    decision.confidence = 35.2;
    decision.hits = 7;
    RunStats stats;
    for (auto _ : state) {
        draw_face(images.colour, face, decision, stats, bench().options);
        draw_frame_texts(images.colour, 1, stats);
    }
}

// imshow plus the loop's 1 ms key wait; skipped without a display.
void BM_Showing(benchmark::State &state) {
    if (!ready(state)) return;
    if (!preview_display_available()) return state.SkipWithError("no display (run under Xvfb)");
    const FrameImages images = convert_frame(bench().bgrx, false);
    cv::namedWindow(kPreviewWindowTitle, cv::WINDOW_NORMAL);
    cv::resizeWindow(kPreviewWindowTitle, images.colour.cols, images.colour.rows);
    for (auto _ : state) {
        cv::imshow(kPreviewWindowTitle, images.colour);
        benchmark::DoNotOptimize(cv::waitKey(1));
    }
    cv::destroyAllWindows();
}

// The loop body for one frame, without the sensor: convert, reduce, detect, gate, identify, draw.
void BM_FrameWithoutSensor(benchmark::State &state) {
    if (!ready(state)) return;
    Bench &b = bench();
    ConfirmationWindow window;
    RunStats stats;
    Logger logger;
    for (auto _ : state) {
        FrameImages images = convert_frame(b.bgrx, false);
        ++stats.processed_frames;
        const cv::Mat detection = detection_image(images.grey, b.options.scale);
        const std::vector<cv::Rect> faces = detect_faces(b.detector, detection, b.options);
        handle_faces(faces, images, *b.recognizer, b.samples, b.options, window, stats, logger);
        draw_frame_texts(images.colour, static_cast<int>(faces.size()), stats);
    }
}

}  // namespace

BENCHMARK(BM_Conversion)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reduction)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Gate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Identity)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Drawing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Showing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameWithoutSensor)->Unit(benchmark::kMillisecond)->MinTime(3.0);

BENCHMARK_MAIN();
