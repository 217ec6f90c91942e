#pragma once
// Sub-sample delay between two channels from their cross-spectrum with every frequency weighted
// to unit magnitude (phase transform, PHAT): in a reverberant room the low frequencies, where
// speech is loud and the room's reflections blur the correlation, no longer swamp the direct
// sound's timing.
#include <vector>

// Frames of the analysis: 32 ms at 16 kHz, Hann-windowed, side by side.
constexpr int kPhatFrame = 512;
// Delays are measured within a quarter frame; a pair whose search reaches further keeps its whole lag.
constexpr int kLongestPhatDelay = kPhatFrame / 4;
// Only the loudest frames count, so a long recording costs no more than about 8 s of audio.
constexpr int kPhatLoudestFrames = 256;

// Delay of b behind a in samples (positive: b hears the sound later), the peak of the weighted
// cross-correlation between -max_delay and +max_delay: read at whole samples, then on a
// quarter-sample grid within a sample of the highest whole-sample peaks, and refined by a
// parabola through the best grid point and its neighbours. False, with `delay` unchanged,
// when the channels carry no signal or max_delay is kLongestPhatDelay or more.
bool phat_delay(const std::vector<double> &a, const std::vector<double> &b, int max_delay, double &delay);
