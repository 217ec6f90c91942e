#include "direction_history.h"

#include <algorithm>
#include <utility>

namespace {

constexpr double kHistorySeconds = 0.5;
constexpr double kPauseBelowLoudest = 0.01;  // 20 dB, in energy per frame

double energy_per_frame(const PairSpectra &spectra) {
    return spectra.frames > 0 ? spectra.energy / spectra.frames : 0.0;
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

PairSpectra remember_spectra(DirectionHistory &history, PairSpectra latest) {
    history.chunks.push_back(std::move(latest));
    while (history.chunks.size() > history.length) history.chunks.pop_front();
    double loudest = 0.0;
    for (const PairSpectra &chunk : history.chunks) loudest = std::max(loudest, energy_per_frame(chunk));
    PairSpectra sum;
    for (const PairSpectra &chunk : history.chunks) {
        if (energy_per_frame(chunk) >= kPauseBelowLoudest * loudest) add_pair_spectra(sum, chunk);
    }
    return sum;
}
