// How long a sample takes from the capture pipe to the live PCM output, arecord's own buffering
// excluded. A stand-in `arecord` on PATH (a script that cats a FIFO) lets this probe write each
// 1024-frame chunk of speech into vocrin's capture pipe and time until the chunk's beam can be
// read from the output FIFO: pipe transfer, decode, gain, levels, direction, beam, s16le, flush.
//
//   live_latency_probe VOCRIN SPEECH_WAV [CHUNKS]
//
// SPEECH_WAV: 4-channel recording (for example from scripts/make_demo_recording.sh).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "wav.h"

namespace {

constexpr std::size_t kChunkFrames = 1024;
constexpr std::size_t kChunkBytes = kChunkFrames * 16;

bool write_all(int fd, const unsigned char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, unsigned char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = read(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<unsigned char> capture_bytes(const WavData &audio) {
    std::vector<unsigned char> bytes;
    for (std::size_t f = 0; f < audio.samples[0].size(); ++f) {
        for (int c = 0; c < 4; ++c) {
            const double code = std::round(audio.samples[c % audio.channels][f] * 2147483648.0);
            const auto value = static_cast<uint32_t>(static_cast<int32_t>(std::min(code, 2147483647.0)));
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
        }
    }
    return bytes;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[index];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s VOCRIN SPEECH_WAV [CHUNKS]\n", argv[0]);
        return 2;
    }
    const std::string vocrin = argv[1];
    const std::vector<unsigned char> speech = capture_bytes(read_wav(argv[2]));
    const std::size_t chunks = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 500;
    const std::size_t available = speech.size() / kChunkBytes;
    if (available == 0 || chunks == 0) {
        std::fprintf(stderr, "the recording is shorter than one chunk\n");
        return 2;
    }

    char pattern[] = "/tmp/vocrin-latency-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string capture_fifo = dir + "/capture.fifo", output_fifo = dir + "/output.fifo";
    mkfifo(capture_fifo.c_str(), 0600);
    mkfifo(output_fifo.c_str(), 0600);
    {
        std::ofstream script(dir + "/arecord");
        script << "#!/bin/sh\nexec cat '" << capture_fifo << "'\n";
    }
    chmod((dir + "/arecord").c_str(), 0755);

    const std::string path = dir + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("PATH", path.c_str(), 1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execl(vocrin.c_str(), vocrin.c_str(), "--live", "--log", "", "--pcm-output", output_fifo.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    // vocrin starts the stand-in first (which opens the capture FIFO), then opens its output.
    const int capture = open(capture_fifo.c_str(), O_WRONLY);
    const int output = open(output_fifo.c_str(), O_RDONLY);

    std::vector<double> latencies;
    std::vector<unsigned char> beam(kChunkFrames * 2);
    bool ok = capture >= 0 && output >= 0;
    for (std::size_t i = 0; ok && i < chunks; ++i) {
        const unsigned char *chunk = speech.data() + (i % available) * kChunkBytes;
        const auto start = std::chrono::steady_clock::now();
        ok = write_all(capture, chunk, kChunkBytes) && read_all(output, beam.data(), beam.size());
        const auto end = std::chrono::steady_clock::now();
        if (ok) latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    close(capture);  // end of stream: vocrin drains, writes its summary and exits
    close(output);
    int status = 0;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(dir);
    if (!ok || latencies.empty()) {
        std::fprintf(stderr, "the live stream stopped early (status %d)\n", status);
        return 1;
    }

    const double chunk_us = kChunkFrames * 1e6 / 16000.0;
    const double median = percentile(latencies, 0.5);
    std::printf("capture pipe -> PCM output, %zu chunks of %zu frames (%.0f us of audio each):\n", latencies.size(),
                kChunkFrames, chunk_us);
    std::printf("  last sample of a chunk: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", median,
                percentile(latencies, 0.9), percentile(latencies, 0.99), percentile(latencies, 1.0));
    std::printf("  first sample of a chunk waits for the chunk to fill: %.0f us + median %.0f us = %.1f ms\n", chunk_us,
                median, (chunk_us + median) / 1000.0);
    return 0;
}
