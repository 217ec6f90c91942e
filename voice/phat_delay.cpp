#include "phat_delay.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>

namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.141592653589793;
constexpr int kGridSteps = 4;  // per sample

// In-place iterative radix-2 transform, e^(-j 2 pi k n / N); `twiddles` holds e^(-j 2 pi k / N)
// for k < N / 2.
void fft(std::vector<Complex> &z, const std::vector<Complex> &twiddles) {
    const std::size_t n = z.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(z[i], z[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::size_t stride = n / length;
        for (std::size_t start = 0; start < n; start += length) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const Complex t = twiddles[k * stride] * z[start + k + length / 2];
                z[start + k + length / 2] = z[start + k] - t;
                z[start + k] += t;
            }
        }
    }
}

// Start of every frame, the loudest kPhatLoudestFrames of them (both channels' energy), in
// time order. A pair shorter than one frame gives one zero-padded frame.
std::vector<std::size_t> loudest_frames(const std::vector<double> &a, const std::vector<double> &b, std::size_t n) {
    const std::size_t count = std::max<std::size_t>(1, n / kPhatFrame);
    std::vector<std::pair<double, std::size_t>> energy(count);
    for (std::size_t f = 0; f < count; ++f) {
        double e = 0.0;
        for (std::size_t i = f * kPhatFrame; i < std::min(n, (f + 1) * kPhatFrame); ++i) e += a[i] * a[i] + b[i] * b[i];
        energy[f] = {-e, f * kPhatFrame};  // loudest first; equal energy: the earlier frame
    }
    const std::size_t keep = std::min<std::size_t>(count, kPhatLoudestFrames);
    std::nth_element(energy.begin(), energy.begin() + static_cast<std::ptrdiff_t>(keep) - 1, energy.end());
    std::vector<std::size_t> starts;
    for (std::size_t f = 0; f < keep; ++f) {
        if (energy[f].first < 0.0) starts.push_back(energy[f].second);
    }
    std::sort(starts.begin(), starts.end());
    return starts;
}

// Sum over the frames of conj(A) B, bins 0 .. N/2. Both channels go through one complex
// transform, a in the real part and b in the imaginary part.
std::vector<Complex> cross_spectrum(const std::vector<double> &a, const std::vector<double> &b, std::size_t n,
                                    const std::vector<std::size_t> &starts) {
    const std::size_t size = kPhatFrame;
    std::vector<Complex> twiddles(size / 2);
    for (std::size_t k = 0; k < size / 2; ++k) twiddles[k] = std::polar(1.0, -2.0 * kPi * k / size);
    std::vector<double> window(size);
    for (std::size_t i = 0; i < size; ++i) window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / size);

    std::vector<Complex> sum(size / 2 + 1), z(size);
    for (const std::size_t start : starts) {
        for (std::size_t i = 0; i < size; ++i) {
            z[i] = start + i < n ? Complex(window[i] * a[start + i], window[i] * b[start + i]) : Complex();
        }
        fft(z, twiddles);
        for (std::size_t k = 0; k <= size / 2; ++k) {
            const Complex zk = z[k], zm = std::conj(z[(size - k) % size]);
            const Complex spectrum_a = 0.5 * (zk + zm);
            const Complex spectrum_b = Complex(0.0, -0.5) * (zk - zm);
            sum[k] += std::conj(spectrum_a) * spectrum_b;
        }
    }
    return sum;
}

// The weighted cross-correlation at a delay of tau samples (real, as the spectrum is of real
// signals: bins 1 .. N/2 - 1 stand for their mirror images too).
double correlation_at(const std::vector<Complex> &weighted, double tau) {
    const std::size_t last = weighted.size() - 1;
    double r = 0.0;
    for (std::size_t k = 0; k <= last; ++k) {
        const double weight = k == 0 || k == last ? 1.0 : 2.0;
        r += weight * (weighted[k] * std::polar(1.0, 2.0 * kPi * k * tau / kPhatFrame)).real();
    }
    return r;
}

}  // namespace

bool phat_delay(const std::vector<double> &a, const std::vector<double> &b, int max_delay, double &delay) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0 || max_delay < 0) return false;
    const std::vector<std::size_t> starts = loudest_frames(a, b, n);
    std::vector<Complex> weighted = cross_spectrum(a, b, n, starts);
    bool any = false;
    for (Complex &g : weighted) {
        const double magnitude = std::abs(g);
        g = magnitude > 0.0 ? g / magnitude : Complex();
        any = any || magnitude > 0.0;
    }
    if (!any) return false;

    const int points = 2 * max_delay * kGridSteps + 1;
    std::vector<double> r(static_cast<std::size_t>(points));
    int best = 0;
    for (int i = 0; i < points; ++i) {
        r[i] = correlation_at(weighted, static_cast<double>(i - max_delay * kGridSteps) / kGridSteps);
        if (r[i] > r[best]) best = i;
    }
    double offset = 0.0;
    if (best > 0 && best + 1 < points) {
        const double bend = r[best - 1] - 2.0 * r[best] + r[best + 1];
        if (bend < 0.0) offset = std::clamp(0.5 * (r[best - 1] - r[best + 1]) / bend, -0.5, 0.5);
    }
    delay = (best - max_delay * kGridSteps + offset) / kGridSteps;
    return true;
}
