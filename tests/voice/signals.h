#pragma once
// Test signals for the vocrin tests: white noise, a source heard by several channels with
// whole-sample delays and independent noise, real speech from espeak-ng and sox, the bundled
// array recording, and plain measures of them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "voice_programs.h"
#include "wav.h"

namespace voicetest {

inline std::vector<double> white_noise(std::size_t n, unsigned seed, double sigma = 0.2) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist(0.0, sigma);
    std::vector<double> x(n);
    for (double &v : x) v = dist(gen);
    return x;
}

// Channel k hears `source` delays[k] samples later (negative: earlier), plus its own noise.
// Output length is source length minus `margin` at each end, so no channel runs out of data.
inline WavData delayed_array(const std::vector<double> &source, const std::vector<int> &delays, double noise_sigma,
                             unsigned seed, std::size_t margin = 16) {
    WavData wav;
    wav.sample_rate = 16000;
    wav.channels = static_cast<int>(delays.size());
    wav.bits_per_sample = 32;
    const std::size_t n = source.size() - 2 * margin;
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0.0, noise_sigma > 0 ? noise_sigma : 1.0);
    for (int d : delays) {
        std::vector<double> ch(n);
        for (std::size_t i = 0; i < n; ++i) {
            ch[i] = source[margin + i - d];
            if (noise_sigma > 0) ch[i] += noise(gen);
        }
        wav.samples.push_back(ch);
    }
    return wav;
}

// Mean square of the samples (0 for none).
inline double power(const std::vector<double> &x) {
    double s = 0;
    for (double v : x) s += v * v;
    return x.empty() ? 0.0 : s / static_cast<double>(x.size());
}

// Straightforward Pearson correlation of x[i] with y[i + lag], one pass, as an oracle.
inline double reference_correlation(const std::vector<double> &x, const std::vector<double> &y, int lag) {
    const long n = static_cast<long>(std::min(x.size(), y.size()));
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    long c = 0;
    for (long i = 0; i < n; ++i) {
        if (i + lag < 0 || i + lag >= n) continue;
        const double a = x[i], b = y[i + lag];
        sx += a, sy += b, sxx += a * a, syy += b * b, sxy += a * b, ++c;
    }
    if (c < 16) return 0.0;
    const double cov = sxy - sx * sy / c, vx = sxx - sx * sx / c, vy = syy - sy * sy / c;
    return vx <= 0 || vy <= 0 ? 0.0 : cov / std::sqrt(vx * vy);
}

// "some words" spoken by espeak-ng, resampled by sox to a 16 kHz 16-bit mono WAV at `wav_path`;
// `dir` holds the intermediate file.
inline void speak_to_wav(const TempDir &dir, const std::string &words, const std::string &wav_path) {
    const std::string raw = dir.file("espeak.wav");
    if (shell("espeak-ng -v en -s 150 -w " + quote(raw) + " " + quote(words) + " >/dev/null 2>&1") != 0) {
        throw std::runtime_error("espeak-ng failed");
    }
    if (shell("sox " + quote(raw) + " -r 16000 -b 16 -c 1 " + quote(wav_path) + " >/dev/null 2>&1") != 0) {
        throw std::runtime_error("sox failed");
    }
}

// The bundled recording (speech reaching channel k k samples late), made once per test program.
inline std::string demo_recording() {
    static std::unique_ptr<TempDir> dir;
    if (!dir) {
        dir = std::make_unique<TempDir>();
        if (shell("bash " + quote(std::string(LUMIVAR_SOURCE_DIR) + "/scripts/make_demo_recording.sh") + " " +
                  quote(dir->path) + " >/dev/null 2>&1") != 0) {
            throw std::runtime_error("make_demo_recording.sh failed");
        }
    }
    return dir->file("kinect_array_speech.wav");
}

}  // namespace voicetest
