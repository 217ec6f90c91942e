#pragma once
// Test signals for direction and beam tests: real speech from espeak-ng and sox, white
// noise, whole-sample delays and independent noise per channel.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "wav.h"

namespace v2test {

// A scratch directory removed with everything in it when the object goes.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vocrin-v2-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// Runs a shell command, returns its standard output; the exit status goes to *status.
inline std::string run_command(const std::string &command, int *status = nullptr) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed: " + command);
    std::array<char, 4096> buffer{};
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), got);
    const int rc = pclose(pipe);
    if (status) *status = rc;
    return out;
}

inline std::string quote(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// "some words" spoken by espeak-ng, resampled by sox to a 16 kHz 16-bit mono WAV at `wav_path`.
inline void speak_to_wav(const TempDir &dir, const std::string &words, const std::string &wav_path) {
    const std::string raw = dir / "espeak.wav";
    int status = 0;
    run_command("espeak-ng -v en -s 150 -w " + quote(raw) + " " + quote(words) + " 2>&1", &status);
    if (status != 0) throw std::runtime_error("espeak-ng failed");
    run_command("sox " + quote(raw) + " -r 16000 -b 16 -c 1 " + quote(wav_path) + " 2>&1", &status);
    if (status != 0) throw std::runtime_error("sox failed");
}

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

}  // namespace v2test
