#include "beamform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

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

// Every channel aligned to channel 0 by its own lag search.
std::vector<int> aligned_lags(const std::vector<std::vector<double>> &channels, std::size_t count) {
    std::vector<int> lags(count, 0);
    for (std::size_t i = 1; i < count; ++i) lags[i] = best_lag(channels[0], channels[i], kFallbackMaxLag).lag;
    return lags;
}

}  // namespace

BeamformResult beamform_delay_and_sum(const WavData &audio, const DirectionEstimate &direction) {
    BeamformResult result;
    if (audio.channels <= 0 || audio.samples.empty()) return result;
    // A record whose vectors disagree with its channel count is read over the vectors it has.
    const std::size_t channels = std::min(static_cast<std::size_t>(audio.channels), audio.samples.size());

    if (!direction.low_confidence && channels >= 4) {
        result.lags = steered_lags(channels, direction.lag_samples);
        result.method = "direction-guided delay-and-sum from processed samples";
    } else {
        result.lags = aligned_lags(audio.samples, channels);
        result.method = "fallback channel-alignment delay-and-sum from processed samples";
    }

    // A positive lag: that channel hears the sound later, so it is read ahead. The outputs are
    // made a block at a time, so that the sums and counts stay in the cache.
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(audio.samples[0].size());
    reserve_samples(result.samples, static_cast<std::size_t>(n));
    double sum[kBlock];
    int counted[kBlock];
    for (std::ptrdiff_t begin = 0; begin < n; begin += kBlock) {
        const std::ptrdiff_t end = std::min(n, begin + kBlock);
        std::fill(sum, sum + (end - begin), 0.0);
        std::fill(counted, counted + (end - begin), 0);
        for (std::size_t k = 0; k < channels; ++k) {
            const std::vector<double> &x = audio.samples[k];
            const std::ptrdiff_t lag = result.lags[k];
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
        result.samples.insert(result.samples.end(), sum, sum + (end - begin));
    }
    return result;
}
