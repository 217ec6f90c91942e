#include "beamform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "geometric_direction.h"
#include "lag_search.h"

namespace {

constexpr int kFallbackMaxLag = 8;
constexpr std::ptrdiff_t kBlock = 4096;

// Channel i of C reads at i / (C - 1) of the outer lag, halves rounded away from zero.
std::vector<int> steered_lags(std::size_t channels, int outer_lag) {
    std::vector<int> lags(channels, 0);
    for (std::size_t i = 0; i < channels; ++i) {
        const double fraction = static_cast<double>(i) / static_cast<double>(channels - 1);
        lags[i] = static_cast<int>(std::lround(fraction * outer_lag));
    }
    return lags;
}

// Channel i of the microphones at `mic_positions` reads at its own delay, rounded (halves away
// from zero); channels beyond them keep lag 0.
std::vector<int> geometric_lags(std::size_t channels, const std::vector<double> &mic_positions, double angle_degrees,
                                int32_t sample_rate) {
    std::vector<int> lags(channels, 0);
    const std::vector<double> delays = geometric_delays(mic_positions, angle_degrees, sample_rate);
    for (std::size_t i = 0; i < channels && i < delays.size(); ++i) lags[i] = static_cast<int>(std::lround(delays[i]));
    return lags;
}

// Every channel aligned to channel 0 by its own lag search: within +-8 samples, or within what
// its distance from channel 0 allows when the positions are known.
std::vector<int> aligned_lags(const WavData &audio, std::size_t count, const std::vector<double> &mic_positions) {
    std::vector<int> lags(count, 0);
    if (!mic_positions.empty() && count >= 2 && count <= mic_positions.size()) {
        // Known positions: the channels' searches share one pass (one-pass sums, as the estimate's).
        std::vector<int> limits;
        for (std::size_t i = 1; i < count; ++i) {
            limits.push_back(geometric_lag_limit(mic_positions[i] - mic_positions[0], audio.sample_rate));
        }
        const std::vector<LagSearchResult> found = lags_behind_first(audio.samples, limits);
        for (std::size_t i = 1; i < count; ++i) lags[i] = found[i - 1].lag;
        return lags;
    }
    for (std::size_t i = 1; i < count; ++i) {
        const int limit = i < mic_positions.size()
                              ? geometric_lag_limit(mic_positions[i] - mic_positions[0], audio.sample_rate)
                              : kFallbackMaxLag;
        lags[i] = best_lag(audio.samples[0], audio.samples[i], limit).lag;
    }
    return lags;
}

// The lags and the method for `audio`, without the samples.
BeamformResult steer(const WavData &audio, std::size_t channels, const DirectionEstimate &direction,
                     const std::vector<double> &mic_positions) {
    BeamformResult result;
    if (!direction.low_confidence && channels >= 4) {
        result.lags = mic_positions.empty()
                          ? steered_lags(channels, direction.lag_samples)
                          : geometric_lags(channels, mic_positions, direction.angle_degrees, audio.sample_rate);
        result.method = "direction-guided delay-and-sum from processed samples";
    } else {
        result.lags = aligned_lags(audio, channels, mic_positions);
        result.method = "fallback channel-alignment delay-and-sum from processed samples";
    }
    return result;
}

// A positive lag: that channel hears the sound later, so it is read ahead. The outputs are made
// a block at a time, so that the sums and counts stay in the cache; each block goes to
// emit(first index, means, count) once all its reads are done.
template <typename Emit>
void form_beam(const WavData &audio, std::size_t channels, const std::vector<int> &lags, Emit emit) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(audio.samples[0].size());
    double sum[kBlock];
    int counted[kBlock];
    for (std::ptrdiff_t begin = 0; begin < n; begin += kBlock) {
        const std::ptrdiff_t end = std::min(n, begin + kBlock);
        std::fill(sum, sum + (end - begin), 0.0);
        std::fill(counted, counted + (end - begin), 0);
        for (std::size_t k = 0; k < channels; ++k) {
            const std::vector<double> &x = audio.samples[k];
            const std::ptrdiff_t lag = lags[k];
            const std::ptrdiff_t from = std::max(begin, -lag);
            const std::ptrdiff_t to = std::min(end, std::min(n, static_cast<std::ptrdiff_t>(x.size())) - lag);
            for (std::ptrdiff_t t = from; t < to; ++t) {
                sum[t - begin] += x[t + lag];
                ++counted[t - begin];
            }
        }
        for (std::ptrdiff_t i = 0; i < end - begin; ++i) {
            sum[i] = counted[i] > 0 ? sum[i] / counted[i] : 0.0;
        }
        emit(begin, sum, end - begin);
    }
}

std::size_t channels_present(const WavData &audio) {
    // A record whose vectors disagree with its channel count is read over the vectors it has.
    return std::min(static_cast<std::size_t>(std::max(audio.channels, 0)), audio.samples.size());
}

}  // namespace

BeamformResult beamform_delay_and_sum(const WavData &audio, const DirectionEstimate &direction,
                                      const std::vector<double> &mic_positions) {
    if (audio.channels <= 0 || audio.samples.empty()) return BeamformResult{};
    const std::size_t channels = channels_present(audio);
    BeamformResult result = steer(audio, channels, direction, mic_positions);
    reserve_samples(result.samples, audio.samples[0].size());
    form_beam(audio, channels, result.lags, [&](std::ptrdiff_t, const double *means, std::ptrdiff_t count) {
        result.samples.insert(result.samples.end(), means, means + count);
    });
    return result;
}

BeamformResult beamform_in_place(WavData &audio, const DirectionEstimate &direction,
                                 const std::vector<double> &mic_positions) {
    if (audio.channels <= 0 || audio.samples.empty()) return BeamformResult{};
    const std::size_t channels = channels_present(audio);
    BeamformResult result = steer(audio, channels, direction, mic_positions);
    // Channel 0 always has lag 0: a block reads it at its own indices only, so once the block's
    // reads are done its means can take their place.
    double *beam = audio.samples[0].data();
    form_beam(audio, channels, result.lags, [&](std::ptrdiff_t begin, const double *means, std::ptrdiff_t count) {
        std::copy(means, means + count, beam + begin);
    });
    result.samples = std::move(audio.samples[0]);
    audio.samples[0].clear();
    return result;
}
