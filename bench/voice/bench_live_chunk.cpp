// Per-chunk cost of the live chain on 1024-frame chunks of 4-channel speech:
// S32_LE frames -> WavData -> input gain -> diagnostics -> direction -> beam -> s16le.
// A chunk holds 64 ms of audio; the chain must take well under that (target: 640 us; with
// --denoise high --agc at most 5% of the chunk, 3.2 ms).
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLUMIVAR_BUILD_TESTS=OFF
//   cmake --build build-bench --target voice_bench_live_chunk
//   build-bench/bench/voice_bench_live_chunk
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "beam_processing.h"
#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "geometric_direction.h"
#include "lag_search.h"
#include "gain.h"
#include "direction_history.h"
#include "live.h"
#include "steered_response.h"
#include "wav.h"

namespace {

constexpr int kChunkFrames = 1024;
constexpr int kChannels = 4;
constexpr double kChunkSeconds = kChunkFrames / 16000.0;

// Speech from espeak-ng, resampled by sox to 16 kHz mono.
std::vector<double> spoken_words() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vocrin-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    const std::filesystem::path dir = pattern;
    const std::string raw = (dir / "espeak.wav").string(), wav = (dir / "speech16k.wav").string();
    const std::string command =
        "espeak-ng -v en -s 150 -w '" + raw +
        "' 'Turn on the kitchen light, then read me the news and the weather for the whole week ahead' && sox '" +
        raw + "' -r 16000 -b 16 -c 1 '" + wav + "'";
    const int status = std::system(command.c_str());
    std::vector<double> speech = status == 0 ? read_wav(wav).samples.at(0) : std::vector<double>{};
    std::filesystem::remove_all(dir);
    if (speech.size() < 48000 + 16000) throw std::runtime_error("espeak-ng and sox must give 4 s of speech: " + command);
    return speech;
}

// Interleaved S32_LE frames as arecord delivers them: channel k hears the speech delays[k]
// samples late, each channel with its own noise 26 dB down.
std::vector<int32_t> capture_stream(const std::vector<double> &speech, const std::vector<int> &delays) {
    std::mt19937 gen(1);
    double power = 0;
    for (double v : speech) power += v * v;
    std::normal_distribution<double> noise(0.0, 0.05 * std::sqrt(power / speech.size()));
    const std::size_t frames = speech.size() - 16;
    std::vector<int32_t> stream(frames * kChannels);
    for (std::size_t f = 0; f < frames; ++f)
        for (int c = 0; c < kChannels; ++c) {
            const double x = std::clamp(0.5 * speech[f + 8 - delays[c]] + noise(gen), -1.0, 1.0);
            stream[f * kChannels + c] = static_cast<int32_t>(std::lround(x * 2147483647.0));
        }
    return stream;
}

// One chunk through the whole live chain; returns the bytes for the PCM output.
void process_chunk(const int32_t *items, int frames, double gain_db, std::vector<uint8_t> &pcm,
                   bool &low_confidence) {
    WavData chunk;
    chunk.sample_rate = 16000;
    chunk.channels = kChannels;
    chunk.bits_per_sample = 32;
    chunk.samples.assign(kChannels, std::vector<double>(frames));
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < kChannels; ++c)
            chunk.samples[c][f] = std::clamp(items[f * kChannels + c] / 2147483648.0, -1.0, 1.0);

    std::vector<std::string> warnings;
    const WavData processed = apply_input_gain(chunk, gain_db, warnings);
    const ChannelDiagnostics levels = diagnose_channels(processed, "live processed channel");
    benchmark::DoNotOptimize(levels.rms.data());
    const DirectionEstimate direction = estimate_direction(processed, "processed-live");
    const BeamformResult beam = beamform_delay_and_sum(processed, direction);
    pcm.resize(beam.samples.size() * 2);
    for (std::size_t i = 0; i < beam.samples.size(); ++i) {
        const uint16_t code = static_cast<uint16_t>(to_pcm16(beam.samples[i]));
        pcm[2 * i] = static_cast<uint8_t>(code & 0xFF);
        pcm[2 * i + 1] = static_cast<uint8_t>(code >> 8);
    }
    low_confidence = direction.low_confidence;
}

const std::vector<double> &speech() {
    static const std::vector<double> words = spoken_words();
    return words;
}

struct ChainFigure {
    double wall_us = 0;
    double cpu_us = 0;
    double low_confidence_share = 0;
};

// Microseconds per chunk of every chain benchmark, printed after the table.
std::map<std::string, ChainFigure> &chain_figures() {
    static std::map<std::string, ChainFigure> figures;
    return figures;
}

struct ChainClock {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();
};

void report(const benchmark::State &state, const std::string &name, const ChainClock &start,
            int64_t low_confidence_chunks) {
    const double chunks = static_cast<double>(state.iterations());
    const double wall = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start.wall).count();
    const double cpu = 1e6 * static_cast<double>(std::clock() - start.cpu) / CLOCKS_PER_SEC;
    chain_figures()[name] = {wall / chunks, cpu / chunks, low_confidence_chunks / chunks};
}

// The utterance cut into consecutive chunks, pauses included, as a live run sees it.
void BM_LiveChunkSpeech(benchmark::State &state) {
    const std::vector<int32_t> stream = capture_stream(speech(), {0, 1, 2, 3});
    const std::size_t chunk_items = kChunkFrames * kChannels;
    const std::size_t chunks = stream.size() / chunk_items;
    std::vector<uint8_t> pcm;
    std::size_t next = 0;
    int64_t weak = 0;
    const ChainClock start;
    for (auto _ : state) {
        bool low = false;
        process_chunk(stream.data() + next * chunk_items, kChunkFrames, static_cast<double>(state.range(0)), pcm,
                      low);
        benchmark::DoNotOptimize(pcm.data());
        weak += low;
        next = (next + 1) % chunks;
    }
    report(state, "speech, gain " + std::to_string(state.range(0)) + " dB", start, weak);
}
BENCHMARK(BM_LiveChunkSpeech)->Arg(0)->Arg(12)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Worst case: uncorrelated noise on every channel, so every chunk is low confidence and
// the beam adds three fallback lag searches.
void BM_LiveChunkFallback(benchmark::State &state) {
    std::mt19937 gen(2);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<int32_t> stream(kChunkFrames * kChannels);
    for (int32_t &v : stream) v = static_cast<int32_t>(std::lround(std::clamp(noise(gen), -1.0, 1.0) * 2147483647.0));
    std::vector<uint8_t> pcm;
    int64_t weak = 0;
    const ChainClock start;
    for (auto _ : state) {
        bool low = false;
        process_chunk(stream.data(), kChunkFrames, 0.0, pcm, low);
        benchmark::DoNotOptimize(pcm.data());
        weak += low;
    }
    report(state, "uncorrelated noise (fallback)", start, weak);
}
BENCHMARK(BM_LiveChunkFallback)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The live chain itself (live.h), plain and with --denoise high --agc on the beam: the WebRTC stage
// carries its 10 ms frames from chunk to chunk as a live run does.
void BM_LiveChainProcessing(benchmark::State &state) {
    const bool processed = state.range(0) != 0;
    const std::vector<int32_t> stream = capture_stream(speech(), {0, 1, 2, 3});
    const std::size_t chunk_items = kChunkFrames * kChannels;
    const std::size_t chunks = stream.size() / chunk_items;
    Options options;
    options.live = true;
    options.live_chunk_frames = kChunkFrames;
    if (processed) {
        options.denoise = "high";
        options.agc = true;
    }
    BeamProcessing processing = start_beam_processing(options, kChunkFrames);
    std::size_t next = 0;
    int64_t weak = 0;
    const ChainClock start;
    for (auto _ : state) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(stream.data() + next * chunk_items);
        const LiveChunkResult chunk = process_live_chunk(live_chunk_audio(bytes, kChunkFrames), 0.0, {}, nullptr, &processing);
        const std::vector<unsigned char> pcm = encode_pcm16_le(chunk.beam.samples);
        benchmark::DoNotOptimize(pcm.data());
        weak += chunk.direction.low_confidence;
        next = (next + 1) % chunks;
    }
    report(state, processed ? "live.h chain, denoise high + agc" : "live.h chain, plain", start, weak);
}
BENCHMARK(BM_LiveChainProcessing)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BestLag(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const int max_lag = static_cast<int>(state.range(1));
    const std::vector<double> &s = speech();
    const std::vector<double> a(s.begin() + 8000, s.begin() + 8000 + n);
    const std::vector<double> b(s.begin() + 7997, s.begin() + 7997 + n);
    for (auto _ : state) benchmark::DoNotOptimize(best_lag(a, b, max_lag));
}
BENCHMARK(BM_BestLag)->Args({1024, 4})->Args({1024, 8})->Args({48000, 8})->Unit(benchmark::kMicrosecond);

// `frames` frames of the spoken words from 0.5 s on, looped when they run out.
WavData speech_frames(int frames) {
    const std::vector<int32_t> stream = capture_stream(speech(), {0, -1, -2, -3});
    const std::size_t length = stream.size() / kChannels;
    WavData audio{16000, kChannels, 32, std::vector<std::vector<double>>(kChannels, std::vector<double>(frames))};
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < kChannels; ++c)
            audio.samples[c][f] = stream[((8000 + f) % length) * kChannels + c] / 2147483648.0;
    return audio;
}

void BM_EstimateDirection(benchmark::State &state) {
    const WavData audio = speech_frames(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(estimate_direction(audio, "processed-live"));
}
BENCHMARK(BM_EstimateDirection)->Arg(1024)->Arg(16000)->Arg(960000)->Unit(benchmark::kMicrosecond);

// The estimate from the Kinect layout (--mic-positions): its searches reach +-12, +-8 and +-3
// samples and the angle comes from the six pairs' steered response.
void BM_EstimateDirectionGeometric(benchmark::State &state) {
    const WavData audio = speech_frames(static_cast<int>(state.range(0)));
    const std::vector<double> kinect = {-0.113, 0.036, 0.076, 0.113};
    for (auto _ : state) benchmark::DoNotOptimize(estimate_direction_geometric(audio, "processed-live", kinect));
}
BENCHMARK(BM_EstimateDirectionGeometric)->Arg(1024)->Arg(16000)->Arg(960000)->Unit(benchmark::kMicrosecond);

// The same per live chunk with the half second of history live mode keeps (eight chunks summed).
void BM_EstimateDirectionGeometricLive(benchmark::State &state) {
    const WavData audio = speech_frames(static_cast<int>(state.range(0)));
    const std::vector<double> kinect = {-0.113, 0.036, 0.076, 0.113};
    DirectionHistory history = direction_history(static_cast<std::size_t>(state.range(0)), 16000);
    for (auto _ : state) benchmark::DoNotOptimize(estimate_direction_geometric(audio, "processed-live", kinect, &history));
}
BENCHMARK(BM_EstimateDirectionGeometricLive)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The steered response alone: the whitened spectra of the six pairs, the map and the refinement.
void BM_SteeredDirection(benchmark::State &state) {
    const WavData audio = speech_frames(static_cast<int>(state.range(0)));
    const std::vector<double> travel = geometric_delays({-0.113, 0.036, 0.076, 0.113}, 90.0, 16000);
    for (auto _ : state) {
        SteeredDirection found;
        benchmark::DoNotOptimize(steered_direction(whitened_pair_spectra(audio.samples), travel, found));
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_SteeredDirection)->Arg(1024)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nlive chain per %d-frame chunk (%.0f ms of audio; target < 640 us):\n", kChunkFrames,
                kChunkSeconds * 1e3);
    for (const auto &[name, f] : chain_figures())
        std::printf("  %-30s wall %7.1f us (%.3f of the chunk), cpu %7.1f us (%.3f); low-confidence chunks %.0f%%\n",
                    name.c_str(), f.wall_us, f.wall_us / (kChunkSeconds * 1e6), f.cpu_us,
                    f.cpu_us / (kChunkSeconds * 1e6), 100.0 * f.low_confidence_share);
    return 0;
}
