// The three phases of lumivar_face's start-up, in-process: reading the samples, training LBPH,
// writing the model and label files. bench_startup.sh measures the whole program.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/samples.h"
#include "core/training.h"

namespace {

namespace fs = std::filesystem;

// A directory of `count` smoothed-noise samples, made once per size and kept for the process.
std::string sample_dir(int count) {
    const fs::path dir = fs::temp_directory_path() / ("lumivar_bench_samples_" + std::to_string(count));
    if (fs::exists(dir / "done")) return dir.string();
    fs::create_directories(dir);
    cv::RNG rng(12345);
    for (int i = 0; i < count; ++i) {
        cv::Mat image(kSampleSide, kSampleSide, CV_8UC1);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(image, image, cv::Size(0, 0), 1.5);
        cv::imwrite((dir / ("s" + std::to_string(i) + ".png")).string(), image);
    }
    std::ofstream(dir / "done") << "";
    return dir.string();
}

void BM_LoadSamples(benchmark::State &state) {
    const std::string dir = sample_dir(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<TrainingSample> samples;
        benchmark::DoNotOptimize(load_veyra_samples(dir, samples));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TrainLbph(benchmark::State &state) {
    std::vector<TrainingSample> samples;
    load_veyra_samples(sample_dir(static_cast<int>(state.range(0))), samples);
    const TrainingSet set = assemble_training_set(samples);
    for (auto _ : state) benchmark::DoNotOptimize(train_recognizer(set));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_WriteModelFiles(benchmark::State &state) {
    std::vector<TrainingSample> samples;
    load_veyra_samples(sample_dir(static_cast<int>(state.range(0))), samples);
    const auto recognizer = train_recognizer(assemble_training_set(samples));
    const fs::path out = fs::temp_directory_path() / "lumivar_bench_model";
    Options options;
    options.model_path = (out / "face.yml").string();
    options.labels_path = (out / "labels.txt").string();
    Logger logger;  // no file: error lines, if any, go to standard output
    for (auto _ : state) {
        if (!save_model_files(*recognizer, options, logger)) state.SkipWithError("model files not written");
    }
    std::error_code ec;
    const auto bytes = fs::file_size(options.model_path, ec);
    if (!ec) state.counters["model_bytes"] = static_cast<double>(bytes);
    fs::remove_all(out);
}

BENCHMARK(BM_LoadSamples)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrainLbph)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteModelFiles)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
