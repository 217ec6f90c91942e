#include "steered_response.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>

namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.141592653589793;

// The plain product: std::complex's operator* also mends infinities and NaNs, at the cost of a
// library call per product, and none can arise here.
Complex times(const Complex &a, const Complex &b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

// The transform of one frame, made once per run: the bit-reversal swaps, the twiddles
// e^(-j 2 pi k / L) of each stage of length L >= 8 side by side, real and imaginary parts apart
// (the stages of length 2 and 4 multiply by 1 and -j only), and the Hann window.
struct FrameTables {
    std::vector<std::pair<std::size_t, std::size_t>> swaps;
    std::vector<double> twiddle_re, twiddle_im;
    std::vector<double> window;
};

const FrameTables &frame_tables() {
    static const FrameTables tables = [] {
        FrameTables t;
        const std::size_t n = kSteeringFrame;
        for (std::size_t i = 1, j = 0; i < n; ++i) {
            std::size_t bit = n >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            if (i < j) t.swaps.emplace_back(i, j);
        }
        for (std::size_t length = 8; length <= n; length <<= 1) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const Complex w = std::polar(1.0, -2.0 * kPi * static_cast<double>(k) / length);
                t.twiddle_re.push_back(w.real()), t.twiddle_im.push_back(w.imag());
            }
        }
        for (int i = 0; i < kSteeringFrame; ++i) t.window.push_back(0.5 - 0.5 * std::cos(2.0 * kPi * i / kSteeringFrame));
        return t;
    }();
    return tables;
}

// One frame's values, real and imaginary parts apart so that the butterflies run two at a time.
struct SplitFrame {
    double re[kSteeringFrame];
    double im[kSteeringFrame];
};

// The butterflies of one block of a stage, low += w high and high = low - w high, k = 0 .. half - 1
// (restrict: the halves never overlap, so the compiler runs two at a time).
void butterflies(double *__restrict lr, double *__restrict li, double *__restrict hr, double *__restrict hi,
                 const double *__restrict wr, const double *__restrict wi, std::size_t half) {
    for (std::size_t k = 0; k < half; ++k) {
        const double tr = wr[k] * hr[k] - wi[k] * hi[k], ti = wr[k] * hi[k] + wi[k] * hr[k];
        hr[k] = lr[k] - tr, hi[k] = li[k] - ti;
        lr[k] += tr, li[k] += ti;
    }
}

// Two stages at once (lengths L and 2 L, quarter = L / 2) over one block of 2 L: the same
// butterflies as two calls of `butterflies`, each value loaded and stored once instead of twice.
// w: the first stage's twiddles; v: the second's (k and k + quarter).
void two_stages(double *__restrict z0r, double *__restrict z0i, double *__restrict z1r, double *__restrict z1i,
                double *__restrict z2r, double *__restrict z2i, double *__restrict z3r, double *__restrict z3i,
                const double *__restrict wr, const double *__restrict wi, const double *__restrict vr,
                const double *__restrict vi, std::size_t quarter) {
    for (std::size_t k = 0; k < quarter; ++k) {
        const double tr = wr[k] * z1r[k] - wi[k] * z1i[k], ti = wr[k] * z1i[k] + wi[k] * z1r[k];
        const double ur = wr[k] * z3r[k] - wi[k] * z3i[k], ui = wr[k] * z3i[k] + wi[k] * z3r[k];
        const double ar = z0r[k] + tr, ai = z0i[k] + ti, br = z0r[k] - tr, bi = z0i[k] - ti;
        const double cr = z2r[k] + ur, ci = z2i[k] + ui, dr = z2r[k] - ur, di = z2i[k] - ui;
        const std::size_t m = k + quarter;
        const double xr = vr[k] * cr - vi[k] * ci, xi = vr[k] * ci + vi[k] * cr;
        const double yr = vr[m] * dr - vi[m] * di, yi = vr[m] * di + vi[m] * dr;
        z0r[k] = ar + xr, z0i[k] = ai + xi, z2r[k] = ar - xr, z2i[k] = ai - xi;
        z1r[k] = br + yr, z1i[k] = bi + yi, z3r[k] = br - yr, z3i[k] = bi - yi;
    }
}

// In-place iterative radix-2 transform of one frame, e^(-j 2 pi k n / N).
void fft(SplitFrame &z) {
    const FrameTables &tables = frame_tables();
    const std::size_t n = kSteeringFrame;
    double *re = z.re, *im = z.im;
    for (const auto &[i, j] : tables.swaps) std::swap(re[i], re[j]), std::swap(im[i], im[j]);
    for (std::size_t s = 0; s < n; s += 4) {
        const double ar = re[s] + re[s + 1], ai = im[s] + im[s + 1], br = re[s] - re[s + 1], bi = im[s] - im[s + 1];
        const double cr = re[s + 2] + re[s + 3], ci = im[s + 2] + im[s + 3];
        const double dr = im[s + 2] - im[s + 3], di = re[s + 3] - re[s + 2];  // (z2 - z3) * -j
        re[s] = ar + cr, im[s] = ai + ci, re[s + 2] = ar - cr, im[s + 2] = ai - ci;
        re[s + 1] = br + dr, im[s + 1] = bi + di, re[s + 3] = br - dr, im[s + 3] = bi - di;
    }
    std::size_t offset = 0, length = 8;
    for (; 2 * length <= n; offset += length / 2 + length, length <<= 2) {
        const std::size_t q = length / 2;
        const double *wr = &tables.twiddle_re[offset], *wi = &tables.twiddle_im[offset];
        for (std::size_t s = 0; s < n; s += 2 * length) {
            two_stages(re + s, im + s, re + s + q, im + s + q, re + s + 2 * q, im + s + 2 * q, re + s + 3 * q,
                       im + s + 3 * q, wr, wi, wr + q, wi + q, q);
        }
    }
    for (; length <= n; offset += length / 2, length <<= 1) {
        const std::size_t half = length / 2;
        for (std::size_t start = 0; start < n; start += length) {
            butterflies(re + start, im + start, re + start + half, im + start + half, &tables.twiddle_re[offset],
                        &tables.twiddle_im[offset], half);
        }
    }
}

// Start and energy (all four channels) of a frame.
struct Frame {
    std::size_t start = 0;
    double energy = 0.0;
};

// Of the loudest kSteeringLoudestFrames frames with any signal, in time order, those louder than
// the frame before (a sound's onset, before its reflections build up; only in a recording of
// kOnsetFrames frames or more: a live chunk keeps all), and the quietest tenth of all frames (at
// most kFloorFramesAtMost). A
// recording shorter than one frame gives one zero-padded frame.
constexpr std::size_t kOnsetFrames = 30;
// The noise floor comes from at most this many of the quietest frames (1 s at 16 kHz).
constexpr std::size_t kFloorFramesAtMost = 32;

struct FramePick {
    std::vector<Frame> loud;
    std::vector<Frame> quiet;
};

FramePick pick_frames(const std::vector<std::vector<double>> &channels, std::size_t n) {
    const std::size_t count = std::max<std::size_t>(1, n / kSteeringFrame);
    std::vector<std::pair<double, std::size_t>> energy(count);
    std::vector<bool> rising(count, true);
    for (std::size_t f = 0; f < count; ++f) {
        double part[4] = {};  // four running sums, so that no addition waits on the one before
        const std::size_t first = f * kSteeringFrame, end = std::min(n, first + kSteeringFrame);
        for (std::size_t c = 0; c < 4; ++c) {
            const double *x = channels[c].data();
            std::size_t i = first;
            for (; i + 4 <= end; i += 4) {
                part[0] += x[i] * x[i], part[1] += x[i + 1] * x[i + 1];
                part[2] += x[i + 2] * x[i + 2], part[3] += x[i + 3] * x[i + 3];
            }
            for (; i < end; ++i) part[0] += x[i] * x[i];
        }
        const double e = (part[0] + part[1]) + (part[2] + part[3]);
        energy[f] = {-e, f * kSteeringFrame};  // loudest first; equal energy: the earlier frame
        if (f > 0 && count >= kOnsetFrames) rising[f] = -e < energy[f - 1].first;
    }
    std::sort(energy.begin(), energy.end());
    FramePick pick;
    for (std::size_t f = 0; f < std::min<std::size_t>(count, kSteeringLoudestFrames); ++f) {
        if (energy[f].first < 0.0 && rising[energy[f].second / kSteeringFrame]) {
            pick.loud.push_back(Frame{energy[f].second, -energy[f].first});
        }
    }
    std::sort(pick.loud.begin(), pick.loud.end(), [](const Frame &a, const Frame &b) { return a.start < b.start; });
    for (std::size_t f = count - std::clamp<std::size_t>(count / 10, 1, kFloorFramesAtMost); f < count; ++f) {
        pick.quiet.push_back(Frame{energy[f].second, -energy[f].first});
    }
    return pick;
}

// The four channels' spectra of the frame at `start`, bins 0 .. N/2: two complex transforms, each
// carrying one channel in its real part and the next in its imaginary part.
void frame_spectra(const std::vector<std::vector<double>> &channels, std::size_t n, std::size_t start,
                   SplitFrame &z, Complex (*spectra)[kSteeringBins]) {
    const std::size_t size = kSteeringFrame;
    const std::vector<double> &window = frame_tables().window;
    for (std::size_t c = 0; c < 4; c += 2) {
        const double *a = channels[c].data() + start, *b = channels[c + 1].data() + start;
        const std::size_t held = std::min(size, n - start);  // a short recording's one frame is zero-padded
        for (std::size_t i = 0; i < held; ++i) z.re[i] = window[i] * a[i], z.im[i] = window[i] * b[i];
        std::fill(z.re + held, z.re + size, 0.0);
        std::fill(z.im + held, z.im + size, 0.0);
        fft(z);
        // A = (Z[k] + conj(Z[N-k])) / 2, B = (Z[k] - conj(Z[N-k])) / 2j.
        for (std::size_t k = 0; k <= size / 2; ++k) {
            const double zr = z.re[k], zi = z.im[k], mr = z.re[(size - k) % size], mi = z.im[(size - k) % size];
            spectra[c][k] = Complex(0.5 * (zr + mr), 0.5 * (zi - mi));
            spectra[c + 1][k] = Complex(0.5 * (zi + mi), -0.5 * (zr - mr));
        }
    }
}

double bin_power(const Complex (*spectra)[kSteeringBins], int k) {
    return std::norm(spectra[0][k]) + std::norm(spectra[1][k]) + std::norm(spectra[2][k]) + std::norm(spectra[3][k]);
}

// Frequencies where the noise is as loud as the sound say nothing of its direction, yet the
// whitening gives them the same weight: a loud frame's bin counts only when its power is above
// kAboveNoiseFloor times the mean power of that bin over the quietest frames (FramePick). Only
// a recording of about a second or more with pauses has a floor (three quiet frames at least,
// the loud ones 3 dB above them): a live chunk has none.
constexpr double kAboveNoiseFloor = 5.0;  // 7 dB
constexpr std::size_t kFloorFrames = 3;

std::vector<double> noise_floor(const std::vector<std::vector<double>> &channels, std::size_t n, const FramePick &pick,
                                SplitFrame &z, Complex (*spectra)[kSteeringBins]) {
    double loud = 0.0, quiet = 0.0;
    for (const Frame &f : pick.loud) loud += f.energy / pick.loud.size();
    for (const Frame &f : pick.quiet) quiet += f.energy / pick.quiet.size();
    if (pick.quiet.size() < kFloorFrames || !(loud > 2.0 * quiet)) return {};
    std::vector<double> floor(kSteeringBins, 0.0);
    for (const Frame &f : pick.quiet) {
        frame_spectra(channels, n, f.start, z, spectra);
        for (int k = 0; k < kSteeringBins; ++k) floor[k] += bin_power(spectra, k) / pick.quiet.size();
    }
    return floor;
}

// The whole delays a map reads: -kReach .. +kReach, at index delay + kReach (the farthest tap of
// the longest delay the frame allows).
constexpr int kSincTaps = kSteeringTaps / 2;  // per side
constexpr int kReach = kLongestSteeringDelay + kSincTaps + 1;
constexpr std::size_t kReadDelays = 2 * kReach + 1;

constexpr double kTinyProduct = 1e-280, kHugeProduct = 1e280;

// Adds one frame's whitened pair spectra (bins 1 ..: the DC bin carries no timing, only offsets),
// bin by bin in passes the compiler can vectorise.
void whiten_frame(Complex (*frame)[kSteeringBins], const std::vector<double> &floor, PairSpectra &spectra) {
    // conj(A) B / |A B| = conj(A / |A|) (B / |B|): four roots per bin instead of six.
    double scale[4][kSteeringBins];
    for (int c = 0; c < 4; ++c) {
        for (int k = 1; k < kSteeringBins; ++k) scale[c][k] = std::norm(frame[c][k]);  // no overflow, unlike std::abs
    }
    for (int k = 1; k < kSteeringBins; ++k) {
        const bool heard = floor.empty() || scale[0][k] + scale[1][k] + scale[2][k] + scale[3][k] > kAboveNoiseFloor * floor[k];
        double root[4];
        for (int c = 0; c < 4; ++c) root[c] = heard ? std::sqrt(scale[c][k]) : 0.0;
        // One division for the four: 1 / |A| = |B| |C| |D| / (|A| |B| |C| |D|), unless that product
        // leaves the normal range (a channel silent in this bin, or magnitudes far apart).
        const double all = (root[0] * root[1]) * (root[2] * root[3]);
        if (all > kTinyProduct && all < kHugeProduct) {
            const double inverse = 1.0 / all;
            scale[0][k] = inverse * (root[1] * root[2] * root[3]), scale[1][k] = inverse * (root[0] * root[2] * root[3]);
            scale[2][k] = inverse * (root[0] * root[1] * root[3]), scale[3][k] = inverse * (root[0] * root[1] * root[2]);
        } else {
            for (int c = 0; c < 4; ++c) scale[c][k] = root[c] > 0.0 ? 1.0 / root[c] : 0.0;
        }
    }
    for (int c = 0; c < 4; ++c) {
        for (int k = 1; k < kSteeringBins; ++k) frame[c][k] *= scale[c][k];
    }
    for (int p = 0; p < kMicPairs; ++p) {
        const Complex *a = frame[kPairFirst[p]], *b = frame[kPairSecond[p]];
        Complex *sum = &spectra.bins[p * kSteeringBins];
        for (int k = 1; k < kSteeringBins; ++k) sum[k] += times(std::conj(a[k]), b[k]);
    }
}

// Each pair's whitened correlation at the whole delays -kReach .. kReach, two pairs per transform:
// the first's spectrum in the real part, the second's in the imaginary. The transform runs with
// e^(-j...), so it is given the conjugate, and hands back N times the first correlation in its
// real part and minus N times the second's in its imaginary part (delay m at m, or N + m when
// negative).
std::vector<std::vector<double>> whole_delay_correlations(const PairSpectra &spectra) {
    const std::size_t size = kSteeringFrame, half = size / 2;
    const double scale = 1.0 / (static_cast<double>(spectra.frames) * size);
    std::vector<std::vector<double>> r(kMicPairs, std::vector<double>(kReadDelays));
    SplitFrame z;
    for (int p = 0; p < kMicPairs; p += 2) {
        const Complex *ga = &spectra.bins[p * kSteeringBins], *gb = &spectra.bins[(p + 1) * kSteeringBins];
        for (std::size_t k = 0; k <= half; ++k) {  // conj(a + j b)
            z.re[k] = ga[k].real() - gb[k].imag(), z.im[k] = -(ga[k].imag() + gb[k].real());
        }
        for (std::size_t k = half + 1; k < size; ++k) {  // a - j b at N - k
            const Complex a = ga[size - k], b = gb[size - k];
            z.re[k] = a.real() + b.imag(), z.im[k] = a.imag() - b.real();
        }
        fft(z);
        for (std::size_t i = 0; i < kReadDelays; ++i) {
            const std::size_t at = (i + size - kReach) % size;
            r[p][i] = z.re[at] * scale;
            r[p + 1][i] = -z.im[at] * scale;
        }
    }
    return r;
}

// The windowed-sinc weights that read a correlation at `delay` from its twelve nearest whole
// delays, whole + kSincTaps - t for tap t; the first of them is returned.
int sinc_weights(double delay, double *weights) {
    const double base = std::floor(delay), fraction = delay - base;
    const int whole = static_cast<int>(base);
    // sin(pi (fraction + i)) = (-1)^i sin(pi fraction) for the tap at delay - (fraction + i).
    const double sine = std::sin(kPi * fraction) / kPi;
    for (int i = -kSincTaps; i < kSincTaps; ++i) {
        const double x = fraction + i, taper = 1.0 - (x * x) / (kSincTaps * kSincTaps);
        weights[i + kSincTaps] = fraction == 0.0 ? (i == 0 ? 1.0 : 0.0) : ((i & 1) ? -sine : sine) / x * taper * taper;
    }
    return whole + kSincTaps;
}

double pair_delay(const std::vector<double> &travel, int pair, double sine) {
    return (travel[kPairSecond[pair]] - travel[kPairFirst[pair]]) * sine;
}

// The six pairs' bin-by-bin correlations at the delays of `sine`, and their mean.
// (whitened_correlation for the six pairs at once: six rotations side by side, none waiting on another.)
double response_at(const PairSpectra &spectra, const std::vector<double> &travel, double sine, double *pairs) {
    if (spectra.frames == 0) {
        if (pairs != nullptr) std::fill(pairs, pairs + kMicPairs, 0.0);
        return 0.0;
    }
    const int half = kSteeringFrame / 2;
    double turn_re[kMicPairs], turn_im[kMicPairs], at_re[kMicPairs], at_im[kMicPairs], sum[kMicPairs];
    for (int p = 0; p < kMicPairs; ++p) {
        const Complex turn = std::polar(1.0, 2.0 * kPi * pair_delay(travel, p, sine) / kSteeringFrame);
        turn_re[p] = at_re[p] = turn.real(), turn_im[p] = at_im[p] = turn.imag();
        sum[p] = 0.0;
    }
    const Complex *g = spectra.bins.data();
    for (int k = 1; k < half; ++k) {
        for (int p = 0; p < kMicPairs; ++p) {
            const Complex gk = g[p * kSteeringBins + k];
            sum[p] += gk.real() * at_re[p] - gk.imag() * at_im[p];
            const double re = at_re[p] * turn_re[p] - at_im[p] * turn_im[p];
            at_im[p] = at_re[p] * turn_im[p] + at_im[p] * turn_re[p], at_re[p] = re;
        }
    }
    double mean = 0.0;
    for (int p = 0; p < kMicPairs; ++p) {
        const Complex nyquist = g[p * kSteeringBins + half];
        const double r = (g[p * kSteeringBins].real() + 2.0 * sum[p] + nyquist.real() * at_re[p] - nyquist.imag() * at_im[p]) /
                         (static_cast<double>(spectra.frames) * kSteeringFrame);
        if (pairs != nullptr) pairs[p] = r;
        mean += r;
    }
    return mean / kMicPairs;
}

// The highest map value outside the lobe around `peak` (where the map falls on both sides);
// the lowest value when the lobe covers the whole map.
double rival_of(const std::vector<double> &map, std::size_t peak) {
    std::size_t first = peak, last = peak;
    while (first > 0 && map[first - 1] < map[first]) --first;
    while (last + 1 < map.size() && map[last + 1] < map[last]) ++last;
    double rival = *std::min_element(map.begin(), map.end());
    for (std::size_t i = 0; i < map.size(); ++i) {
        if (i < first || i > last) rival = std::max(rival, map[i]);
    }
    return rival;
}

// The map, and each pair's highest value over the candidates (its own best within the delays its
// spacing allows), from one set of whole-delay correlations.
void map_with_pair_bests(const PairSpectra &spectra, const SteeringGrid &grid, std::vector<double> &map,
                         std::vector<double> &own_best) {
    const std::vector<std::vector<double>> whole = whole_delay_correlations(spectra);
    std::fill(own_best.begin(), own_best.end(), -1.0);
    for (std::size_t i = 0; i < grid.sines.size(); ++i) {
        double sum = 0.0;
        for (int p = 0; p < kMicPairs; ++p) {
            const std::size_t at = i * kMicPairs + static_cast<std::size_t>(p);
            const double *taps = &whole[p][static_cast<std::size_t>(grid.first[at])];
            const double *weights = &grid.weights[at * kSteeringTaps];
            double r = 0.0;
            for (int t = 0; t < kSteeringTaps; ++t) r += *(taps - t) * weights[t];
            own_best[p] = std::max(own_best[p], r);
            sum += r;
        }
        map[i] = sum / kMicPairs;
    }
}

// Every pair's delay (the outer pair's, unless the positions are out of order) within the frame's reach.
bool fits_frame(const std::vector<double> &travel) {
    if (travel.size() != 4) return false;
    for (int p = 0; p < kMicPairs; ++p) {
        if (!(std::fabs(pair_delay(travel, p, 1.0)) < kLongestSteeringDelay)) return false;
    }
    return true;
}

}  // namespace

std::vector<std::size_t> map_peaks(const std::vector<double> &map) {
    std::vector<std::size_t> peaks;
    for (std::size_t i = 0; i < map.size(); ++i) {
        if ((i == 0 || map[i] >= map[i - 1]) && (i + 1 == map.size() || map[i] > map[i + 1])) peaks.push_back(i);
    }
    std::stable_sort(peaks.begin(), peaks.end(), [&](std::size_t a, std::size_t b) { return map[a] > map[b]; });
    if (peaks.size() > 3) peaks.resize(3);
    while (peaks.size() > 1 && map[peaks.back()] < 0.5 * map[peaks.front()]) peaks.pop_back();
    return peaks;
}

PairSpectra whitened_pair_spectra(const std::vector<std::vector<double>> &channels) {
    PairSpectra spectra;
    if (channels.size() < 4) return spectra;
    std::size_t n = channels[0].size();
    for (std::size_t c = 1; c < 4; ++c) n = std::min(n, channels[c].size());
    if (n == 0) return spectra;
    SplitFrame z;
    Complex frame[4][kSteeringBins];
    const FramePick pick = pick_frames(channels, n);
    const std::vector<double> floor = noise_floor(channels, n, pick, z, frame);
    for (const Frame &f : pick.loud) {
        frame_spectra(channels, n, f.start, z, frame);
        whiten_frame(frame, floor, spectra);
        ++spectra.frames;
        spectra.energy += f.energy;
    }
    return spectra;
}

void add_pair_spectra(PairSpectra &sum, const PairSpectra &more) {
    for (std::size_t i = 0; i < sum.bins.size(); ++i) sum.bins[i] += more.bins[i];
    sum.frames += more.frames;
    sum.energy += more.energy;
}

double steered_response_at(const PairSpectra &spectra, const std::vector<double> &travel, double sine, double *pairs) {
    return response_at(spectra, travel, sine, pairs);
}

double whitened_correlation(const PairSpectra &spectra, int pair, double delay) {
    if (spectra.frames == 0) return 0.0;
    const Complex *g = &spectra.bins[pair * kSteeringBins];
    const int half = kSteeringFrame / 2;
    // Two rotations side by side (bins k and k + 1, each turned by two bins' phase per step), so
    // that neither waits on the other.
    const Complex turn = std::polar(1.0, 2.0 * kPi * delay / kSteeringFrame), turn_twice = times(turn, turn);
    Complex odd = turn, even = turn_twice;
    double odd_sum = 0.0, even_sum = 0.0;
    for (int k = 1; k + 1 < half; k += 2) {
        odd_sum += g[k].real() * odd.real() - g[k].imag() * odd.imag();
        even_sum += g[k + 1].real() * even.real() - g[k + 1].imag() * even.imag();
        odd = times(odd, turn_twice);
        even = times(even, turn_twice);
    }
    odd_sum += g[half - 1].real() * odd.real() - g[half - 1].imag() * odd.imag();
    const double nyquist = g[half].real() * even.real() - g[half].imag() * even.imag();
    return (g[0].real() + 2.0 * (odd_sum + even_sum) + nyquist) / (static_cast<double>(spectra.frames) * kSteeringFrame);
}

std::vector<double> candidate_sines(const std::vector<double> &travel) {
    const double outer = travel.empty() ? 0.0 : std::fabs(travel.back());
    const int steps = 2 * std::max(1, static_cast<int>(std::ceil(4.0 * std::min(outer, 1e4))));
    std::vector<double> sines(static_cast<std::size_t>(steps) + 1);
    for (int i = 0; i <= steps; ++i) sines[static_cast<std::size_t>(i)] = -1.0 + 2.0 * i / steps;
    return sines;
}

SteeringGrid steering_grid(const std::vector<double> &travel, const std::vector<double> &sines) {
    SteeringGrid grid;
    grid.travel = travel;
    grid.sines = sines;
    if (!fits_frame(travel)) return grid;  // no weights: nothing is read
    grid.first.resize(sines.size() * kMicPairs);
    grid.weights.resize(grid.first.size() * kSteeringTaps);
    for (std::size_t i = 0; i < grid.first.size(); ++i) {
        const double delay = pair_delay(travel, static_cast<int>(i % kMicPairs), sines[i / kMicPairs]);
        grid.first[i] = sinc_weights(delay, &grid.weights[i * kSteeringTaps]) + kReach;
    }
    return grid;
}

std::vector<double> steered_response_map(const PairSpectra &spectra, const std::vector<double> &travel,
                                         const std::vector<double> &sines) {
    std::vector<double> map(sines.size(), 0.0), own_best(kMicPairs);
    const SteeringGrid grid = steering_grid(travel, sines);
    if (spectra.frames > 0 && !grid.first.empty()) map_with_pair_bests(spectra, grid, map, own_best);
    return map;
}

bool steered_direction(const PairSpectra &spectra, const std::vector<double> &travel, SteeredDirection &found) {
    return steered_direction(spectra, steering_grid(travel, candidate_sines(travel)), found);
}

bool steered_direction(const PairSpectra &spectra, const SteeringGrid &grid, SteeredDirection &found) {
    if (spectra.frames == 0 || grid.first.empty() || grid.sines.size() < 2) return false;
    const std::vector<double> &travel = grid.travel, &sines = grid.sines;
    std::vector<double> map(sines.size()), own_best(kMicPairs);
    map_with_pair_bests(spectra, grid, map, own_best);

    // Of the map's best lobes, the one whose centre evaluates highest bin by bin: a reflection can
    // top the direct sound between the candidates.
    std::size_t best = 0;
    double centre = -2.0, pairs[kMicPairs] = {};
    for (const std::size_t peak : map_peaks(map)) {
        double at[kMicPairs];
        const double r = response_at(spectra, travel, sines[peak], at);
        if (r > centre) best = peak, centre = r, std::copy(at, at + kMicPairs, pairs);
    }
    const double step = sines[1] - sines[0];
    const double before = response_at(spectra, travel, sines[best] - step, nullptr);
    const double after = response_at(spectra, travel, sines[best] + step, nullptr);
    const double bend = before - 2.0 * centre + after;
    const double offset = bend < 0.0 ? std::clamp(0.5 * (before - after) / bend, -0.5, 0.5) : 0.0;
    found.sine = std::clamp(sines[best] + offset * step, -1.0, 1.0);
    found.response = centre - 0.25 * (before - after) * offset;
    found.rival = rival_of(map, best);

    // Each pair's share of its own best over the delays its spacing allows.
    double agreement = 0.0;
    for (int p = 0; p < kMicPairs; ++p) {
        agreement += own_best[p] > 0.0 ? std::clamp(pairs[p] / own_best[p], 0.0, 1.0) : 0.0;
    }
    found.agreement = agreement / kMicPairs;
    double wide = 0.0;
    int wide_count = 0;
    for (int p = 0; p < kMicPairs; ++p) {
        if (std::fabs(pair_delay(travel, p, 1.0)) >= 0.5 * std::fabs(travel[3] - travel[0])) wide += pairs[p], ++wide_count;
    }
    found.wide_pairs = wide / wide_count;
    // The margin over the rest of the map, scaled down as the pairs disagree: half of them
    // pointing elsewhere leaves nothing.
    const double agreeing = std::clamp(2.0 * found.agreement - 1.0, 0.0, 1.0);
    found.confidence = found.response > 0.0 ? agreeing * (1.0 - std::max(found.rival, 0.0) / found.response) : 0.0;
    return true;
}

double chance_within_10_degrees(const SteeredDirection &found) {
    if (!(found.response > 0.0)) return 0.0;
    // Fitted as described in the header; a sound from the side raises the chance at a given margin,
    // since there the map stands higher away from the sound's lobe even when the angle is right.
    constexpr double kBias = -3.818, kPerMargin = 4.962, kPerWidePairs = 21.134, kPerSine = 3.321;
    const double margin = 1.0 - std::max(found.rival, 0.0) / found.response;
    const double z = kBias + kPerMargin * margin + kPerWidePairs * found.wide_pairs + kPerSine * std::fabs(found.sine);
    return 1.0 / (1.0 + std::exp(-z));
}
