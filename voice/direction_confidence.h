#pragma once
// How far a direction estimate is to be trusted: its pairs' correlation peaks and their agreement.
#include "direction.h"
#include "lag_search.h"

// Stores the combined pair score as the confidence, clamped to [0, 1]; below 0.35 the
// angle is flagged as a weak hint.
void set_direction_confidence(DirectionEstimate &estimate, double combined);

// Lag, peaks, consistency and confidence from the four pairs' searches: the same for both estimates.
void set_pair_results(DirectionEstimate &estimate, const PairLags &lags);
