#include "calibrate/calibration_replay.h"

#include <algorithm>
#include <cmath>

GroupSummary summarise_group(const std::vector<LoggedRun> &runs) {
    GroupSummary summary;
    for (const LoggedRun &run : runs)
        for (const LoggedFace &face : run.faces) {
            ++summary.evaluated;
            ++summary.by_reason[face.reason];
            if (face.accepted()) summary.distances.push_back(face.distance);
        }
    summary.accepted = summary.by_reason[0];
    std::sort(summary.distances.begin(), summary.distances.end());
    return summary;
}

double percentile(const std::vector<double> &sorted, double p) {
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

namespace {

// The strict hits among the last min(length, faces seen) entries, kept as a running count over a ring of the
// newest entries: constant time per face whatever the window's length (lumivar_face takes any up to INT_MAX),
// where summing the window each time would cost faces x window. The ring never needs more entries than the run
// has faces.
struct RollingHits {
    std::vector<uint8_t> ring;
    size_t next = 0;
    size_t filled = 0;
    long long hits = 0;

    RollingHits(int length, size_t faces)
        : ring(std::max<size_t>(1, std::min(static_cast<size_t>(std::max(length, 1)), faces))) {}

    void push(bool strict_hit) {
        if (filled == ring.size()) {
            hits -= ring[next];  // the oldest entry leaves the window
        } else {
            ++filled;
        }
        ring[next] = strict_hit ? 1 : 0;
        hits += ring[next];
        next = next + 1 == ring.size() ? 0 : next + 1;
    }
};

}  // namespace

ReplayFigures replay_group(const std::vector<LoggedRun> &runs, const std::optional<Thresholds> &thresholds,
                           const std::optional<WindowSettings> &window_settings) {
    constexpr int kEnrolledLabel = 1;
    ReplayFigures figures;
    for (const LoggedRun &run : runs) {
        Options rules;
        rules.candidate_threshold = thresholds ? thresholds->candidate : run.settings.candidate_threshold;
        rules.confirmed_threshold = thresholds ? thresholds->confirmed : run.settings.confirmed_threshold;
        rules.confirm_window = window_settings ? window_settings->confirm_window : run.settings.confirm_window;
        rules.confirm_min_hits = window_settings ? window_settings->confirm_min_hits : run.settings.confirm_min_hits;
        RollingHits window(rules.confirm_window, run.faces.size());
        uint64_t first = 0, index = 0;
        for (const LoggedFace &face : run.faces) {
            ++index;
            const PredictionHits prediction = judge_prediction(face.accepted(), kEnrolledLabel, face.distance, rules);
            window.push(prediction.strict_hit);
            const IdentityLabel label = label_from_hits(prediction, window.hits, rules);
            if (!thresholds && label != face.label) ++figures.unlike_log;
            if (label == IdentityLabel::Unknown) continue;
            if (label == IdentityLabel::ConfirmedVeyra) {
                ++figures.confirmed;
                if (first == 0) first = index;
            } else {
                ++figures.candidates;
            }
            if (figures.named.size() < kListedFaces) figures.named.push_back({&run, face, label});
        }
        figures.faces += index;
        figures.first_confirmation.push_back(first);
    }
    return figures;
}
