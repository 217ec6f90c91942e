#pragma once
// Live mode's memory of the direction (with --mic-positions): the whitened pair spectra of the
// last half second's chunks, so that a still talker's angle rests on about eight chunks of 64 ms
// instead of one. A chunk more than 20 dB below the loudest one held (a pause) is left out of
// the sum; while every chunk held is that quiet, they all count.
#include <cstddef>
#include <cstdint>
#include <deque>

#include "steered_response.h"

struct DirectionHistory {
    std::deque<PairSpectra> chunks;  // oldest first
    std::deque<bool> counted;        // whether each chunk is in the sum
    std::size_t length = 1;          // chunks held
    // Kept up to date chunk by chunk (the one that comes in added, the one that goes taken off),
    // and summed afresh whenever a chunk already held changes sides or `length` chunks have passed.
    PairSpectra sum;
    std::size_t since_fresh_sum = 0;
    SteeringGrid grid;  // made at the first chunk: the geometry is fixed for a run
};

// A history holding half a second of chunks of `chunk_frames` at `sample_rate` (at least one).
DirectionHistory direction_history(std::size_t chunk_frames, int32_t sample_rate);

// Holds `latest`, dropping the oldest chunk beyond the history's length, and returns the sum the
// estimate rests on (the history's own, valid until the next call).
const PairSpectra &remember_spectra(DirectionHistory &history, PairSpectra latest);
