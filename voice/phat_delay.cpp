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

// The plain product: std::complex's operator* also mends infinities and NaNs, at the cost of a
// library call per product, and none can arise here.
Complex times(const Complex &a, const Complex &b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

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
                const Complex t = times(twiddles[k * stride], z[start + k + length / 2]);
                z[start + k + length / 2] = z[start + k] - t;
                z[start + k] += t;
            }
        }
    }
}

// The transform's twiddles and the Hann window of one frame, made once per run.
struct FrameTables {
    std::vector<Complex> twiddles;
    std::vector<double> window;
    std::vector<Complex> grid_twiddles;  // for the transform of kGridSteps * kPhatFrame points
};

const FrameTables &frame_tables() {
    static const FrameTables tables = [] {
        FrameTables t;
        for (int k = 0; k < kPhatFrame / 2; ++k) t.twiddles.push_back(std::polar(1.0, -2.0 * kPi * k / kPhatFrame));
        for (int i = 0; i < kPhatFrame; ++i) t.window.push_back(0.5 - 0.5 * std::cos(2.0 * kPi * i / kPhatFrame));
        const int grid = kGridSteps * kPhatFrame;
        for (int k = 0; k < grid / 2; ++k) t.grid_twiddles.push_back(std::polar(1.0, -2.0 * kPi * k / grid));
        return t;
    }();
    return tables;
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
    const FrameTables &tables = frame_tables();
    const std::vector<Complex> &twiddles = tables.twiddles;
    const std::vector<double> &window = tables.window;

    std::vector<Complex> sum(size / 2 + 1), z(size);
    for (const std::size_t start : starts) {
        for (std::size_t i = 0; i < size; ++i) {
            z[i] = start + i < n ? Complex(window[i] * a[start + i], window[i] * b[start + i]) : Complex();
        }
        fft(z, twiddles);
        for (std::size_t k = 0; k <= size / 2; ++k) {
            const Complex zk = z[k], zm = std::conj(z[(size - k) % size]);
            const Complex spectrum_a = 0.5 * (zk + zm);
            const Complex difference = zk - zm;  // B = (Z[k] - conj(Z[N-k])) / 2j
            const Complex spectrum_b(0.5 * difference.imag(), -0.5 * difference.real());
            sum[k] += times(std::conj(spectrum_a), spectrum_b);
        }
    }
    return sum;
}

// The weighted cross-correlation at every delay m / kGridSteps, m = 0 .. M - 1 (negative delays
// at M + m), M = kGridSteps * N: one transform of the spectrum padded with zeros to M bins. The
// correlation is real, so bins 1 .. N/2 - 1 stand at k and, conjugated, at M - k; the result's
// real part is the same for the transform with the opposite sign of the exponent, used here.
std::vector<double> correlation_grid(const std::vector<Complex> &weighted) {
    const std::size_t size = kGridSteps * kPhatFrame;
    const std::size_t half = kPhatFrame / 2;
    std::vector<Complex> z(size);
    for (std::size_t k = 0; k <= half; ++k) z[k] = std::conj(weighted[k]);
    for (std::size_t k = 1; k < half; ++k) z[size - k] = weighted[k];
    fft(z, frame_tables().grid_twiddles);
    std::vector<double> r(size);
    for (std::size_t m = 0; m < size; ++m) r[m] = z[m].real();
    return r;
}

}  // namespace

bool phat_delay(const std::vector<double> &a, const std::vector<double> &b, int max_delay, double &delay) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0 || max_delay < 0 || max_delay >= kLongestPhatDelay) return false;
    const std::vector<std::size_t> starts = loudest_frames(a, b, n);
    std::vector<Complex> weighted = cross_spectrum(a, b, n, starts);
    bool any = false;
    for (Complex &g : weighted) {
        const double magnitude = std::abs(g);
        g = magnitude > 0.0 ? g / magnitude : Complex();
        any = any || magnitude > 0.0;
    }
    if (!any) return false;

    const std::vector<double> grid = correlation_grid(weighted);
    const int points = 2 * max_delay * kGridSteps + 1;
    std::vector<double> r(static_cast<std::size_t>(points));
    int best = 0;
    for (int i = 0; i < points; ++i) {
        const int m = i - max_delay * kGridSteps;
        r[i] = grid[static_cast<std::size_t>(m < 0 ? m + static_cast<int>(grid.size()) : m)];
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
