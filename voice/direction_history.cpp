#include "direction_history.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace {

constexpr double kHistorySeconds = 0.5;
constexpr double kPauseBelowLoudest = 0.01;  // 20 dB, in energy per frame

double energy_per_frame(const PairSpectra &spectra) {
    return spectra.frames > 0 ? spectra.energy / spectra.frames : 0.0;
}

void take_pair_spectra(PairSpectra &sum, const PairSpectra &less) {
    for (std::size_t i = 0; i < sum.bins.size(); ++i) sum.bins[i] -= less.bins[i];
    sum.frames -= less.frames;
    sum.energy -= less.energy;
}

}  // namespace

DirectionHistory direction_history(std::size_t chunk_frames, int32_t sample_rate) {
    DirectionHistory history;
    if (chunk_frames > 0 && sample_rate > 0) {
        const double chunks = kHistorySeconds * sample_rate / static_cast<double>(chunk_frames);
        history.length = std::max<std::size_t>(1, static_cast<std::size_t>(chunks + 0.5));
    }
    return history;
}

const PairSpectra &remember_spectra(DirectionHistory &history, PairSpectra latest) {
    history.chunks.push_back(std::move(latest));
    history.counted.push_back(false);
    std::optional<PairSpectra> gone;
    bool gone_counted = false;
    while (history.chunks.size() > history.length) {
        gone = std::move(history.chunks.front()), gone_counted = history.counted.front();
        history.chunks.pop_front(), history.counted.pop_front();
    }
    double loudest = 0.0;
    for (const PairSpectra &chunk : history.chunks) loudest = std::max(loudest, energy_per_frame(chunk));
    bool changed_sides = false;
    for (std::size_t i = 0; i < history.chunks.size(); ++i) {
        const bool counts = energy_per_frame(history.chunks[i]) >= kPauseBelowLoudest * loudest;
        if (i + 1 < history.chunks.size() && counts != history.counted[i]) changed_sides = true;
        history.counted[i] = counts;
    }
    if (changed_sides || ++history.since_fresh_sum >= history.length) {
        history.sum = PairSpectra();
        history.since_fresh_sum = 0;
        for (std::size_t i = 0; i < history.chunks.size(); ++i) {
            if (history.counted[i]) add_pair_spectra(history.sum, history.chunks[i]);
        }
    } else {
        if (gone && gone_counted) take_pair_spectra(history.sum, *gone);
        if (history.counted.back()) add_pair_spectra(history.sum, history.chunks.back());
    }
    return history.sum;
}
