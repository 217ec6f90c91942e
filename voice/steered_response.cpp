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
// e^(-j 2 pi k / L) of each stage of length L >= 8 side by side (the stages of length 2 and 4
// multiply by 1 and -j only), and the Hann window.
struct FrameTables {
    std::vector<std::pair<std::size_t, std::size_t>> swaps;
    std::vector<Complex> stage_twiddles;
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
                t.stage_twiddles.push_back(std::polar(1.0, -2.0 * kPi * static_cast<double>(k) / length));
            }
        }
        for (int i = 0; i < kSteeringFrame; ++i) t.window.push_back(0.5 - 0.5 * std::cos(2.0 * kPi * i / kSteeringFrame));
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
        double e = 0.0;
        for (std::size_t c = 0; c < 4; ++c) {
            const double *x = channels[c].data();
            for (std::size_t i = f * kSteeringFrame; i < std::min(n, (f + 1) * kSteeringFrame); ++i) e += x[i] * x[i];
        }
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
                   std::vector<Complex> &z, Complex (*spectra)[kSteeringBins]) {
    const std::size_t size = kSteeringFrame;
    const std::vector<double> &window = frame_tables().window;
    for (std::size_t c = 0; c < 4; c += 2) {
        const std::vector<double> &a = channels[c], &b = channels[c + 1];
        for (std::size_t i = 0; i < size; ++i) {
            z[i] = start + i < n ? Complex(window[i] * a[start + i], window[i] * b[start + i]) : Complex();
        }
        fft(z);
        for (std::size_t k = 0; k <= size / 2; ++k) {
            const Complex zk = z[k], zm = std::conj(z[(size - k) % size]);
            const Complex difference = zk - zm;  // B = (Z[k] - conj(Z[N-k])) / 2j
            spectra[c][k] = 0.5 * (zk + zm);
            spectra[c + 1][k] = Complex(0.5 * difference.imag(), -0.5 * difference.real());
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
constexpr double kAboveNoiseFloor = 4.0;
constexpr std::size_t kFloorFrames = 3;

std::vector<double> noise_floor(const std::vector<std::vector<double>> &channels, std::size_t n, const FramePick &pick,
                                std::vector<Complex> &z, Complex (*spectra)[kSteeringBins]) {
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

// Each pair's whitened correlation at every whole delay m = 0 .. N - 1 (negative delays at N + m),
// two pairs per transform: the first's spectrum in the real part, the second's in the imaginary.
// The transform runs with e^(-j...), so it is given the conjugate, and hands back N times the first
// correlation in its real part and minus N times the second's in its imaginary part.
std::vector<std::vector<double>> whole_delay_correlations(const PairSpectra &spectra) {
    const std::size_t size = kSteeringFrame, half = size / 2;
    const double scale = 1.0 / (static_cast<double>(spectra.frames) * size);
    std::vector<std::vector<double>> r(kMicPairs, std::vector<double>(size));
    std::vector<Complex> z(size);
    for (int p = 0; p < kMicPairs; p += 2) {
        const Complex *ga = &spectra.bins[p * kSteeringBins], *gb = &spectra.bins[(p + 1) * kSteeringBins];
        for (std::size_t k = 0; k <= half; ++k) z[k] = std::conj(ga[k] + Complex(-gb[k].imag(), gb[k].real()));
        for (std::size_t k = half + 1; k < size; ++k) {
            const Complex a = ga[size - k], b = gb[size - k];
            z[k] = a + Complex(b.imag(), -b.real());  // a - j b
        }
        fft(z);
        for (std::size_t m = 0; m < size; ++m) {
            r[p][m] = z[m].real() * scale;
            r[p + 1][m] = -z[m].imag() * scale;
        }
    }
    return r;
}

// A correlation between whole delays: windowed sinc over the twelve nearest samples.
constexpr int kSincTaps = 6;  // per side

double interpolated(const std::vector<double> &r, double delay) {
    const double base = std::floor(delay), fraction = delay - base;
    const int whole = static_cast<int>(base);
    const auto at = [&](int m) { return r[static_cast<std::size_t>(((m % kSteeringFrame) + kSteeringFrame) % kSteeringFrame)]; };
    if (fraction == 0.0) return at(whole);
    // sin(pi (fraction + i)) = (-1)^i sin(pi fraction) for the tap at delay - (fraction + i).
    const double sine = std::sin(kPi * fraction) / kPi;
    double sum = 0.0;
    for (int i = -kSincTaps; i < kSincTaps; ++i) {
        const double x = fraction + i, taper = 1.0 - (x * x) / (kSincTaps * kSincTaps);
        sum += at(whole - i) * ((i & 1) ? -sine : sine) / x * taper * taper;
    }
    return sum;
}

double pair_delay(const std::vector<double> &travel, int pair, double sine) {
    return (travel[kPairSecond[pair]] - travel[kPairFirst[pair]]) * sine;
}

// The six pairs' bin-by-bin correlations at the delays of `sine`, and their mean.
double response_at(const PairSpectra &spectra, const std::vector<double> &travel, double sine, double *pairs) {
    double sum = 0.0;
    for (int p = 0; p < kMicPairs; ++p) {
        const double r = whitened_correlation(spectra, p, pair_delay(travel, p, sine));
        if (pairs != nullptr) pairs[p] = r;
        sum += r;
    }
    return sum / kMicPairs;
}

// The map's local maxima (ends included), highest first, at most three; one below half the
// highest cannot win and is skipped.
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
void map_with_pair_bests(const PairSpectra &spectra, const std::vector<double> &travel, const std::vector<double> &sines,
                         std::vector<double> &map, std::vector<double> &own_best) {
    const std::vector<std::vector<double>> whole = whole_delay_correlations(spectra);
    std::fill(own_best.begin(), own_best.end(), -1.0);
    for (std::size_t i = 0; i < sines.size(); ++i) {
        double sum = 0.0;
        for (int p = 0; p < kMicPairs; ++p) {
            const double r = interpolated(whole[p], pair_delay(travel, p, sines[i]));
            own_best[p] = std::max(own_best[p], r);
            sum += r;
        }
        map[i] = sum / kMicPairs;
    }
}

}  // namespace

PairSpectra whitened_pair_spectra(const std::vector<std::vector<double>> &channels) {
    PairSpectra spectra;
    if (channels.size() < 4) return spectra;
    std::size_t n = channels[0].size();
    for (std::size_t c = 1; c < 4; ++c) n = std::min(n, channels[c].size());
    if (n == 0) return spectra;
    std::vector<Complex> z(kSteeringFrame);
    Complex frame[4][kSteeringBins];
    const FramePick pick = pick_frames(channels, n);
    const std::vector<double> floor = noise_floor(channels, n, pick, z, frame);
    for (const Frame &f : pick.loud) {
        frame_spectra(channels, n, f.start, z, frame);
        for (int k = 1; k < kSteeringBins; ++k) {  // the DC bin carries no timing, only offsets
            if (!floor.empty() && bin_power(frame, k) <= kAboveNoiseFloor * floor[k]) continue;
            for (int p = 0; p < kMicPairs; ++p) {
                const Complex g = times(std::conj(frame[kPairFirst[p]][k]), frame[kPairSecond[p]][k]);
                const double power = std::norm(g);  // no overflow to guard against, unlike std::abs
                if (power > 0.0) spectra.bins[p * kSteeringBins + k] += g * (1.0 / std::sqrt(power));
            }
        }
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

double whitened_correlation(const PairSpectra &spectra, int pair, double delay) {
    if (spectra.frames == 0) return 0.0;
    const Complex *g = &spectra.bins[pair * kSteeringBins];
    const int half = kSteeringFrame / 2;
    const Complex turn = std::polar(1.0, 2.0 * kPi * delay / kSteeringFrame);
    Complex at = turn;
    double sum = 0.0;
    for (int k = 1; k < half; ++k) {
        sum += g[k].real() * at.real() - g[k].imag() * at.imag();
        at = times(at, turn);
    }
    const double nyquist = g[half].real() * at.real() - g[half].imag() * at.imag();
    return (g[0].real() + 2.0 * sum + nyquist) / (static_cast<double>(spectra.frames) * kSteeringFrame);
}

std::vector<double> candidate_sines(const std::vector<double> &travel) {
    const double outer = travel.empty() ? 0.0 : std::fabs(travel.back());
    const int steps = 2 * std::max(1, static_cast<int>(std::ceil(4.0 * std::min(outer, 1e4))));
    std::vector<double> sines(static_cast<std::size_t>(steps) + 1);
    for (int i = 0; i <= steps; ++i) sines[static_cast<std::size_t>(i)] = -1.0 + 2.0 * i / steps;
    return sines;
}

std::vector<double> steered_response_map(const PairSpectra &spectra, const std::vector<double> &travel,
                                         const std::vector<double> &sines) {
    std::vector<double> map(sines.size(), 0.0), own_best(kMicPairs);
    if (spectra.frames > 0 && travel.size() >= 4) map_with_pair_bests(spectra, travel, sines, map, own_best);
    return map;
}

bool steered_direction(const PairSpectra &spectra, const std::vector<double> &travel, SteeredDirection &found) {
    if (spectra.frames == 0 || travel.size() != 4 || !(std::fabs(travel[3]) < kLongestSteeringDelay)) return false;
    const std::vector<double> sines = candidate_sines(travel);
    std::vector<double> map(sines.size()), own_best(kMicPairs);
    map_with_pair_bests(spectra, travel, sines, map, own_best);

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
    // The margin over the rest of the map, scaled down as the pairs disagree: half of them
    // pointing elsewhere leaves nothing.
    const double agreeing = std::clamp(2.0 * found.agreement - 1.0, 0.0, 1.0);
    found.confidence = found.response > 0.0 ? agreeing * (1.0 - std::max(found.rival, 0.0) / found.response) : 0.0;
    return true;
}
