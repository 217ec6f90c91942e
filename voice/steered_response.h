#pragma once
// Direction from all six pairs of the four microphones at once: the steered response power with
// the phase transform (SRP-PHAT). Each frame's cross-spectrum of a pair is whitened (every
// frequency weighted to unit magnitude, so in a room the loud low frequencies, where the
// reflections blur the timing, no longer swamp the direct sound), the frames are summed, and
// each candidate angle is scored by the six pairs' whitened correlations at the delays that
// angle means. Delays are in samples; a positive delay: the later microphone of the pair (the one
// toward the last of the row) hears the sound later.
#include <complex>
#include <cstdint>
#include <vector>

// Frames of the analysis: 32 ms at 16 kHz, Hann-windowed, side by side.
constexpr int kSteeringFrame = 512;
constexpr int kSteeringBins = kSteeringFrame / 2 + 1;
// Only the loudest frames count, so a long recording costs no more than about 8 s of audio.
constexpr int kSteeringLoudestFrames = 256;
// The six pairs (i, j), i < j, in the order 0-1, 0-2, 0-3, 1-2, 1-3, 2-3.
constexpr int kMicPairs = 6;
constexpr int kPairFirst[kMicPairs] = {0, 0, 0, 1, 1, 2};
constexpr int kPairSecond[kMicPairs] = {1, 2, 3, 2, 3, 3};
// An array where a pair's delay reaches this many samples (a very high rate or a wide array) is
// beyond the frame's reach.
constexpr int kLongestSteeringDelay = kSteeringFrame / 4;

// The six pairs' whitened cross-spectra, conj(A) B per bin 0 .. kSteeringBins - 1, each frame's
// weighted to unit magnitude, summed over `frames` frames.
struct PairSpectra {
    std::vector<std::complex<double>> bins = std::vector<std::complex<double>>(kMicPairs * kSteeringBins);
    int frames = 0;
    double energy = 0.0;  // of the frames' samples, all four channels
};

// Channels 0 to 3 (at least four, of equal length) over their loudest frames; a recording shorter
// than one frame gives one zero-padded frame. Silent frames count for nothing.
PairSpectra whitened_pair_spectra(const std::vector<std::vector<double>> &channels);

void add_pair_spectra(PairSpectra &sum, const PairSpectra &more);

// Pair `pair`'s whitened correlation at `delay`, evaluated from the spectra bin by bin: 1 for
// every frame of one clean plane wave at that delay.
double whitened_correlation(const PairSpectra &spectra, int pair, double delay);

// The six pairs' whitened correlations at the delays of `sine`, evaluated bin by bin as
// whitened_correlation does, into `pairs` (kMicPairs values; may be null), and their mean.
double steered_response_at(const PairSpectra &spectra, const std::vector<double> &travel, double sine, double *pairs);

// `travel`: each microphone's delay behind the first for a sound from +90 degrees, in samples
// (geometric_delays(mic_positions, 90, rate)); a pair's delay for a sound from angle a is
// (travel[j] - travel[i]) * sin(a).

// The candidate angles' sines, from -1 to +1 in steps that move the outer pair's delay by a
// quarter sample at most.
std::vector<double> candidate_sines(const std::vector<double> &travel);

// What a fixed geometry means for the map, made once per run: the candidates and, for each
// candidate and pair, the windowed-sinc weights that read the pair's correlation between its
// whole delays (the taps at whole delays first - t, t = 0 .. kSteeringTaps - 1).
constexpr int kSteeringTaps = 12;
struct SteeringGrid {
    std::vector<double> travel;
    std::vector<double> sines;
    std::vector<int> first;       // per candidate and pair (candidate * kMicPairs + pair)
    std::vector<double> weights;  // kSteeringTaps per candidate and pair
};

SteeringGrid steering_grid(const std::vector<double> &travel, const std::vector<double> &sines);

// The mean of the six pairs' whitened correlations at each candidate, read from each pair's
// correlation at whole delays between the samples (windowed sinc).
std::vector<double> steered_response_map(const PairSpectra &spectra, const std::vector<double> &travel,
                                         const std::vector<double> &sines);

// The map's local maxima (ends included; of equal neighbours, the last), highest first, at most
// three; one below half the highest cannot win and is left out.
std::vector<std::size_t> map_peaks(const std::vector<double> &map);

// The best angle and how far to trust it.
struct SteeredDirection {
    double sine = 0.0;       // of the angle
    double response = 0.0;   // mean pair correlation there, evaluated bin by bin
    double rival = 0.0;      // the map's highest value outside the angle's lobe
    double agreement = 0.0;  // the pairs' mean correlation there against each pair's own best, 0 to 1
    // (1 - rival / response) * (2 * agreement - 1), each clamped to [0, 1]; 0 when the response is not positive.
    double confidence = 0.0;
    // The mean correlation there of the wide pairs: those at least half the outer pair's spacing
    // apart (with the Kinect's layout the three pairs with channel 0), the finest in angle.
    double wide_pairs = 0.0;
};

// The map's best lobe (of its three highest, the one whose centre evaluates highest), refined by
// a parabola through the bin-by-bin response there and at its neighbours. False when the spectra
// hold no frame or the array is too wide for the frame.
bool steered_direction(const PairSpectra &spectra, const SteeringGrid &grid, SteeredDirection &found);

// The chance that `found`, an estimate resting on live mode's half second of chunks, lies within 10
// degrees of the sound's true direction: a logistic function of its margin over the rest of the
// map (1 - rival / response), the wide pairs' correlation and the angle's sine, fitted chunk by
// chunk to talkers 2 m from the Kinect's array in two simulated rooms at 0.3 and 0.6 s of
// reverberation (bench/voice/live_confidence.py). 0 when the response is not positive.
double chance_within_10_degrees(const SteeredDirection &found);
bool steered_direction(const PairSpectra &spectra, const std::vector<double> &travel, SteeredDirection &found);
