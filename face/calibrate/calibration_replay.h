#pragma once
// The logged faces of one group (enrolled person, or others) summed up, and replayed through lumivar_face's own
// decision rules with the thresholds the runs used or with new ones.
#include <cstdint>
#include <optional>
#include <vector>

#include "calibrate/calibration_log.h"

struct GroupSummary {
    uint64_t evaluated = 0;
    uint64_t accepted = 0;
    uint64_t by_reason[kQualityReasonCount] = {};  // index 0: accepted
    std::vector<double> distances;                 // of the accepted faces, ascending
};

GroupSummary summarise_group(const std::vector<LoggedRun> &runs);

// Nearest-rank percentile (0 to 100) of ascending values: always one of the values. `sorted` is not empty.
double percentile(const std::vector<double> &sorted, double p);

struct Thresholds {
    double candidate = 0.0;
    double confirmed = 0.0;
};

struct NamedFace {  // a face replayed as CandidateVeyra or ConfirmedVeyra
    const LoggedRun *run = nullptr;
    LoggedFace face;
    IdentityLabel label = IdentityLabel::Unknown;
};

constexpr size_t kListedFaces = 20;

struct ReplayFigures {
    uint64_t faces = 0;
    uint64_t candidates = 0;  // CandidateVeyra
    uint64_t confirmed = 0;   // ConfirmedVeyra
    // Per run: faces up to and including the first ConfirmedVeyra; 0 when none was.
    std::vector<uint64_t> first_confirmation;
    std::vector<NamedFace> named;  // the first kListedFaces faces labelled CandidateVeyra or better
    uint64_t unlike_log = 0;       // replayed with the runs' own thresholds: labels that differ from the log's
};

struct WindowSettings {
    int confirm_window = 0;
    int confirm_min_hits = 0;
};

// Every run's faces in order through lumivar_face's decision rules, each run with a fresh window. Without
// `thresholds` or `window_settings` each run uses its own. Every accepted face counts as predicted to be the
// enrolled person: the model knows no one else. Time linear in the faces, whatever the window's length.
ReplayFigures replay_group(const std::vector<LoggedRun> &runs, const std::optional<Thresholds> &thresholds,
                           const std::optional<WindowSettings> &window_settings = std::nullopt);
