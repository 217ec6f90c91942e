// Reading, diagnosing and gaining a 60-second 4-channel 32-bit capture, as the batch run does.
// Prints the speed as a multiple of real time and the peak heap held by the chain, relative to
// the file's size.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "gain.h"
#include "wav.h"

// ---- heap accounting: every allocation of the process, current and peak bytes ----
// The replaced operators pair malloc with free themselves; GCC cannot see that once inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<int64_t> g_heap_now{0};
std::atomic<int64_t> g_heap_peak{0};

void note_alloc(void *p) {
    if (p == nullptr) {
        return;
    }
    const int64_t now = g_heap_now += static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_heap_peak.load();
    while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
    }
}

void note_free(void *p) {
    if (p != nullptr) {
        g_heap_now -= static_cast<int64_t>(malloc_usable_size(p));
    }
}
}  // namespace

void *operator new(std::size_t size) {
    void *p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    note_alloc(p);
    return p;
}
void *operator new[](std::size_t size) { return operator new(size); }
void operator delete(void *p) noexcept {
    note_free(p);
    std::free(p);
}
void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void *p, std::size_t) noexcept { operator delete(p); }

namespace {

constexpr int kSeconds = 60;
constexpr int kRate = 16000;
constexpr int kChannels = 4;

void put32(std::string &out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) {
        out += static_cast<char>((v >> s) & 0xFF);
    }
}

// Speech-like test signal: a wobbling tone reaching channel k k samples late, plus noise.
std::string make_capture_file() {
    char pattern[] = "/tmp/vocrin-bench-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    ::close(fd);
    const std::string path = pattern;
    const uint32_t frames = kSeconds * kRate;
    const uint32_t data_bytes = frames * kChannels * 4;
    std::string header = "RIFF";
    put32(header, 36 + data_bytes);
    header += "WAVEfmt ";
    put32(header, 16);
    header += std::string("\x01\x00\x04\x00", 4);
    put32(header, kRate);
    put32(header, kRate * kChannels * 4);
    header += std::string("\x10\x00\x20\x00", 4);
    header += "data";
    put32(header, data_bytes);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    uint32_t noise = 12345;
    std::string block;
    for (uint32_t f = 0; f < frames; ++f) {
        for (int c = 0; c < kChannels; ++c) {
            const double t = static_cast<double>(static_cast<int64_t>(f) - c) / kRate;
            noise = noise * 1664525u + 1013904223u;
            const double x = 0.3 * std::sin(2 * M_PI * 220.0 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3.0 * t)) +
                             0.001 * (static_cast<double>(noise >> 8) / 16777216.0 - 0.5);
            put32(block, static_cast<uint32_t>(static_cast<int32_t>(x * 2147483647.0)));
        }
        if (block.size() >= (1u << 16)) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            block.clear();
        }
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

struct CaptureFile {
    std::string path = make_capture_file();
    double bytes = static_cast<double>(44 + int64_t{kSeconds} * kRate * kChannels * 4);
    ~CaptureFile() { std::remove(path.c_str()); }
};

const CaptureFile &capture() {
    static const CaptureFile file;
    return file;
}

long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// x_realtime is audio seconds per wall-clock second; x_realtime_cpu per CPU second, which a
// machine shared with other jobs does not inflate.
void report(benchmark::State &state, int64_t heap_peak, double cpu_used) {
    const CaptureFile &file = capture();
    const double audio_seconds = static_cast<double>(state.iterations()) * kSeconds;
    state.counters["x_realtime"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
    state.counters["x_realtime_cpu"] = audio_seconds / cpu_used;
    state.counters["file_MB"] = file.bytes / 1e6;
    state.counters["heap_peak_MB"] = static_cast<double>(heap_peak) / 1e6;
    state.counters["heap_peak_x_file"] = static_cast<double>(heap_peak) / file.bytes;
    state.counters["process_rss_peak_MB"] = static_cast<double>(peak_rss_kib()) * 1024.0 / 1e6;
}

// As the batch pipeline runs it: the raw record stays, the gain works on a copy.
void BM_ReadDiagnoseGain(benchmark::State &state) {
    const std::string &path = capture().path;
    int64_t heap_peak = 0;
    const double cpu_start = cpu_seconds();
    for (auto _ : state) {
        const int64_t base = g_heap_now.load();
        g_heap_peak = base;
        std::vector<std::string> warnings;
        const WavData raw = read_wav(path);
        const ChannelDiagnostics raw_levels = diagnose_channels(raw, "raw channel");
        const WavData processed = apply_input_gain(raw, 6.0, warnings);
        const ChannelDiagnostics processed_levels = diagnose_channels(processed, "processed channel");
        benchmark::DoNotOptimize(raw_levels.rms.data());
        benchmark::DoNotOptimize(processed_levels.rms.data());
        heap_peak = std::max(heap_peak, g_heap_peak.load() - base);
    }
    report(state, heap_peak, cpu_seconds() - cpu_start);
}

// The same chain when the raw samples are not needed after their diagnostics: gain in place.
void BM_ReadDiagnoseGainInPlace(benchmark::State &state) {
    const std::string &path = capture().path;
    int64_t heap_peak = 0;
    const double cpu_start = cpu_seconds();
    for (auto _ : state) {
        const int64_t base = g_heap_now.load();
        g_heap_peak = base;
        std::vector<std::string> warnings;
        WavData audio = read_wav(path);
        const ChannelDiagnostics raw_levels = diagnose_channels(audio, "raw channel");
        apply_input_gain_in_place(audio, 6.0, warnings);
        const ChannelDiagnostics processed_levels = diagnose_channels(audio, "processed channel");
        benchmark::DoNotOptimize(raw_levels.rms.data());
        benchmark::DoNotOptimize(processed_levels.rms.data());
        heap_peak = std::max(heap_peak, g_heap_peak.load() - base);
    }
    report(state, heap_peak, cpu_seconds() - cpu_start);
}

}  // namespace

BENCHMARK(BM_ReadDiagnoseGain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadDiagnoseGainInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
