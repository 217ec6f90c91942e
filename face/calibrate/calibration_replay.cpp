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

ReplayFigures replay_group(const std::vector<LoggedRun> &runs, const std::optional<Thresholds> &thresholds) {
    constexpr int kEnrolledLabel = 1;
    ReplayFigures figures;
    for (const LoggedRun &run : runs) {
        Options rules;
        rules.candidate_threshold = thresholds ? thresholds->candidate : run.settings.candidate_threshold;
        rules.confirmed_threshold = thresholds ? thresholds->confirmed : run.settings.confirmed_threshold;
        rules.confirm_window = run.settings.confirm_window;
        rules.confirm_min_hits = run.settings.confirm_min_hits;
        ConfirmationWindow window;
        uint64_t first = 0, index = 0;
        for (const LoggedFace &face : run.faces) {
            ++index;
            const IdentityLabel label = label_face(face.accepted(), kEnrolledLabel, face.distance, rules, window);
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
