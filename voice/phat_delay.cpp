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

// The transform of one frame, made once per run: the bit-reversal swaps, the twiddles
// e^(-j 2 pi k / L) of each stage of length L >= 8 side by side (the stages of length 2 and 4
// multiply by 1 and -j only), and the Hann window.
struct FrameTables {
    std::vector<std::pair<std::size_t, std::size_t>> swaps;
    std::vector<Complex> stage_twiddles;
    std::vector<double> window;
    std::vector<Complex> grid_turns;  // e^(+j 2 pi i / (kGridSteps * kPhatFrame)), the whole circle
};

const FrameTables &frame_tables() {
    static const FrameTables tables = [] {
        FrameTables t;
        const std::size_t n = kPhatFrame;
        for (std::size_t i = 1, j = 0; i < n; ++i) {
            std::size_t bit = n >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            if (i < j) t.swaps.emplace_back(i, j);
        }
        for (std::size_t length = 8; length <= n; length <<= 1) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                t.stage_twiddles.push_back(std::polar(1.0, -2.0 * kPi * static_cast<double>(k) / length));
            }
        }
        for (int i = 0; i < kPhatFrame; ++i) t.window.push_back(0.5 - 0.5 * std::cos(2.0 * kPi * i / kPhatFrame));
        const int grid = kGridSteps * kPhatFrame;
        for (int i = 0; i < grid; ++i) t.grid_turns.push_back(std::polar(1.0, 2.0 * kPi * i / grid));
        return t;
    }();
    return tables;
}

// In-place iterative radix-2 transform of one frame, e^(-j 2 pi k n / N).
void fft(std::vector<Complex> &z) {
    const FrameTables &tables = frame_tables();
    const std::size_t n = z.size();
    for (const auto &[i, j] : tables.swaps) std::swap(z[i], z[j]);
    for (std::size_t s = 0; s < n; s += 4) {
        const Complex a = z[s] + z[s + 1], b = z[s] - z[s + 1], c = z[s + 2] + z[s + 3], d = z[s + 2] - z[s + 3];
        const Complex d_turned(d.imag(), -d.real());  // d * -j
        z[s] = a + c, z[s + 2] = a - c;
        z[s + 1] = b + d_turned, z[s + 3] = b - d_turned;
    }
    const Complex *twiddles = tables.stage_twiddles.data();
    for (std::size_t length = 8; length <= n; twiddles += length / 2, length <<= 1) {
        const std::size_t half = length / 2;
        for (std::size_t start = 0; start < n; start += length) {
            Complex *low = &z[start], *high = &z[start + half];
            for (std::size_t k = 0; k < half; ++k) {
                const Complex t = times(twiddles[k], high[k]);
                high[k] = low[k] - t;
                low[k] += t;
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
    const std::vector<double> &window = frame_tables().window;

    std::vector<Complex> sum(size / 2 + 1), z(size);
    for (const std::size_t start : starts) {
        for (std::size_t i = 0; i < size; ++i) {
            z[i] = start + i < n ? Complex(window[i] * a[start + i], window[i] * b[start + i]) : Complex();
        }
        fft(z);
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

// The weighted cross-correlation at every whole delay m = 0 .. N - 1 (negative delays at N + m):
// one transform of the spectrum. The correlation is real, so bins 1 .. N/2 - 1 stand at k and,
// conjugated, at N - k; the result's real part is the same for the transform with the opposite
// sign of the exponent, used here.
std::vector<double> whole_delay_correlation(const std::vector<Complex> &weighted) {
    const std::size_t size = kPhatFrame;
    const std::size_t half = size / 2;
    std::vector<Complex> z(size);
    for (std::size_t k = 0; k <= half; ++k) z[k] = std::conj(weighted[k]);
    for (std::size_t k = 1; k < half; ++k) z[size - k] = weighted[k];
    fft(z);
    std::vector<double> r(size);
    for (std::size_t m = 0; m < size; ++m) r[m] = z[m].real();
    return r;
}

// Grid points around a whole-sample peak: a sample to each side and one more step for the parabola.
constexpr int kGridWindow = 2 * kGridSteps + 3;

// The same correlation at delays (first + j) / kGridSteps, j < count <= kGridWindow, summed bin by
// bin in one pass: the few grid points near a whole-sample peak cost less than a transform of
// the whole grid.
void grid_correlation(const std::vector<Complex> &weighted, int first, int count, double *r) {
    const std::vector<Complex> &turns = frame_tables().grid_turns;
    const unsigned wrap = static_cast<unsigned>(turns.size()) - 1;  // the grid is a power of two
    const int half = kPhatFrame / 2;
    unsigned step[kGridWindow], at[kGridWindow];
    double sum[kGridWindow];
    for (int j = 0; j < count; ++j) {
        step[j] = at[j] = static_cast<unsigned>(first + j) & wrap;
        sum[j] = 0.0;
    }
    for (int k = 1; k < half; ++k) {
        const Complex w = weighted[k];
        for (int j = 0; j < count; ++j) {
            sum[j] += w.real() * turns[at[j]].real() - w.imag() * turns[at[j]].imag();
            at[j] = (at[j] + step[j]) & wrap;
        }
    }
    for (int j = 0; j < count; ++j) r[j] = weighted[0].real() + 2.0 * sum[j] + times(weighted[half], turns[at[j]]).real();
}

// A delay on the quarter-sample grid and the correlation there.
struct GridPeak {
    int m = 0;
    double value = 0.0;
    double offset = 0.0;  // of the parabola's top from m, in grid steps
};

// Best point of the quarter-sample grid within a sample of a whole-sample peak, and the parabola
// through it and its grid neighbours; grid points stay within +-max_delay samples.
GridPeak grid_peak_near(const std::vector<Complex> &weighted, int peak, int max_delay) {
    const int limit = max_delay * kGridSteps, centre = peak * kGridSteps;
    const int first = std::max(-limit, centre - kGridSteps - 1), last = std::min(limit, centre + kGridSteps + 1);
    double r[kGridWindow];
    grid_correlation(weighted, first, last - first + 1, r);
    GridPeak best;
    best.m = std::max(first, centre - kGridSteps);
    for (int m = best.m + 1; m <= std::min(last, centre + kGridSteps); ++m) {
        if (r[m - first] > r[best.m - first]) best.m = m;
    }
    best.value = r[best.m - first];
    if (best.m > first && best.m < last) {
        const double before = r[best.m - first - 1], after = r[best.m - first + 1];
        const double bend = before - 2.0 * best.value + after;
        if (bend < 0.0) best.offset = std::clamp(0.5 * (before - after) / bend, -0.5, 0.5);
    }
    return best;
}

// The whole-sample local maxima within +-max_delay, highest first, at most kRefinedPeaks: the
// correlation between two samples can top a whole-sample peak that a reflection makes higher.
// A peak half a sample off still shows about 0.64 of its height at the samples beside it (the
// sinc's value there), so one below half the highest whole-sample value cannot win and is skipped.
constexpr std::size_t kRefinedPeaks = 3;

std::vector<int> whole_sample_peaks(const std::vector<double> &whole, int max_delay) {
    const auto at = [&](int m) { return whole[static_cast<std::size_t>((m + kPhatFrame) % kPhatFrame)]; };
    std::vector<int> peaks;
    for (int m = -max_delay; m <= max_delay; ++m) {
        if ((m == -max_delay || at(m) >= at(m - 1)) && (m == max_delay || at(m) > at(m + 1))) peaks.push_back(m);
    }
    std::stable_sort(peaks.begin(), peaks.end(), [&](int a, int b) { return at(a) > at(b); });
    if (peaks.size() > kRefinedPeaks) peaks.resize(kRefinedPeaks);
    while (peaks.size() > 1 && at(peaks.back()) < 0.5 * at(peaks.front())) peaks.pop_back();
    return peaks;
}

}  // namespace

bool phat_delay(const std::vector<double> &a, const std::vector<double> &b, int max_delay, double &delay) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0 || max_delay < 0 || max_delay >= kLongestPhatDelay) return false;
    const std::vector<std::size_t> starts = loudest_frames(a, b, n);
    std::vector<Complex> weighted = cross_spectrum(a, b, n, starts);
    bool any = false;
    for (Complex &g : weighted) {
        const double magnitude = std::sqrt(std::norm(g));  // no overflow to guard against, unlike std::abs
        g = magnitude > 0.0 ? g / magnitude : Complex();
        any = any || magnitude > 0.0;
    }
    if (!any) return false;

    GridPeak best;
    bool first = true;
    for (const int peak : whole_sample_peaks(whole_delay_correlation(weighted), max_delay)) {
        const GridPeak candidate = grid_peak_near(weighted, peak, max_delay);
        const bool higher = candidate.value > best.value || (candidate.value == best.value && candidate.m < best.m);
        if (first || higher) best = candidate;
        first = false;
    }
    delay = (best.m + best.offset) / kGridSteps;
    return true;
}
