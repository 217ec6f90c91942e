#pragma once
// Choosing lumivar_face's two thresholds from the distances of the enrolled person and of the others.
#include <cstdint>
#include <string>
#include <vector>

#include "calibrate/calibration_replay.h"

// Safety margin: both thresholds stay at least this share below the others' closest distance, so that
// another person scoring a little closer on another day is still not named.
constexpr double kSafetyMargin = 0.05;

struct Recommendation {
    bool found = false;  // false: no enrolled face lies under the limit, so nothing can be confirmed
    Thresholds thresholds;
    std::string candidate_text;  // with two decimals, as lumivar_face is to be given them
    std::string confirmed_text;
    double confirmed_limit = 0.0;  // the highest value the margin allows the confirmed threshold
};

// Labels only ever improve as a threshold rises, so the best figures for the enrolled person within the
// limits are those at the limits: the confirmed threshold below every one of the others' distances less the
// margin, the candidate threshold likewise below all but `max_false_candidates` of them. The thresholds are
// the limits themselves (the candidate one just above the highest enrolled distance when no limit applies).
// Both summaries hold accepted faces, sorted.
Recommendation recommend_thresholds(const GroupSummary &enrolled, const GroupSummary &others,
                                    int max_false_candidates);

// Why lumivar_face refuses a run's window settings (its own reading of --confirm-window and --confirm-min-hits);
// empty when it takes them.
std::string window_refusal(const RunSettings &settings);

// The window settings to recommend: those of the first run, enrolled runs first, that lumivar_face takes, else its
// defaults. The recommended thresholds are replayed with them in every run, so that the figures reported for
// them are what the printed command does.
WindowSettings recommended_window(const std::vector<LoggedRun> &enrolled, const std::vector<LoggedRun> &others);

// lumivar_face's words for the recommendation: both thresholds, and the window settings unless they are its
// defaults.
std::vector<std::string> recommended_command(const Recommendation &recommendation, const WindowSettings &window);
