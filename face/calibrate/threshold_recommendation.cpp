#include "calibrate/threshold_recommendation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// Thresholds are chosen in hundredths; logged distances have six decimals, so a threshold strictly above a
// logged distance is also above the distance lumivar_face measured before rounding it for the log.
using Hundredths = long long;

Hundredths limit_below(double closest_other) {
    closest_other = std::min(closest_other, 1e9);  // far beyond any LBPH distance; keeps the count in range
    return static_cast<Hundredths>(std::floor(closest_other * (1.0 - kSafetyMargin) * 100.0));
}

Hundredths just_above(double distance) {
    return static_cast<Hundredths>(std::llround(distance * 1e6) / 10000) + 1;
}

// The lowest threshold giving every enrolled distance under `limit` (hundredths), or 0 when none is.
Hundredths threshold_under(const std::vector<double> &enrolled, Hundredths limit) {
    const double limit_value = static_cast<double>(limit) / 100.0;
    const auto end = std::lower_bound(enrolled.begin(), enrolled.end(), limit_value);
    if (end == enrolled.begin() || limit <= 0) return 0;
    return std::min(limit, just_above(*(end - 1)));
}

std::string text_of(Hundredths value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld.%02lld", value / 100, value % 100);
    return buffer;
}

}  // namespace

Recommendation recommend_thresholds(const GroupSummary &enrolled, const GroupSummary &others,
                                    int max_false_candidates) {
    const std::vector<double> &theirs = others.distances;
    const Hundredths confirmed_limit = limit_below(theirs.front());
    const size_t passed = static_cast<size_t>(max_false_candidates);
    const Hundredths candidate_limit = passed < theirs.size()
                                           ? limit_below(theirs[passed])
                                           : std::numeric_limits<Hundredths>::max() / 2;

    Recommendation r;
    r.confirmed_limit = static_cast<double>(confirmed_limit) / 100.0;
    if (threshold_under(enrolled.distances, confirmed_limit) <= 0) return r;
    // At the limits themselves: the most room for the enrolled person scoring higher on another day.
    const Hundredths confirmed = confirmed_limit;
    const Hundredths candidate =
        passed < theirs.size() ? candidate_limit : std::max(confirmed, just_above(enrolled.distances.back()));
    r.found = true;
    r.thresholds = {static_cast<double>(candidate) / 100.0, static_cast<double>(confirmed) / 100.0};
    r.candidate_text = text_of(candidate);
    r.confirmed_text = text_of(confirmed);
    return r;
}

std::string window_refusal(const RunSettings &settings) {
    return face_command_refusal({"--confirm-window", std::to_string(settings.confirm_window), "--confirm-min-hits",
                                 std::to_string(settings.confirm_min_hits)});
}

WindowSettings recommended_window(const std::vector<LoggedRun> &enrolled, const std::vector<LoggedRun> &others) {
    for (const std::vector<LoggedRun> *group : {&enrolled, &others})
        for (const LoggedRun &run : *group)
            if (window_refusal(run.settings).empty())
                return {run.settings.confirm_window, run.settings.confirm_min_hits};
    const Options defaults;
    return {defaults.confirm_window, defaults.confirm_min_hits};
}

std::vector<std::string> recommended_command(const Recommendation &recommendation, const WindowSettings &window) {
    std::vector<std::string> words = {"--candidate-threshold", recommendation.candidate_text, "--confirmed-threshold",
                                      recommendation.confirmed_text};
    const Options defaults;
    if (window.confirm_window != defaults.confirm_window || window.confirm_min_hits != defaults.confirm_min_hits)
        words.insert(words.end(), {"--confirm-window", std::to_string(window.confirm_window), "--confirm-min-hits",
                                   std::to_string(window.confirm_min_hits)});
    return words;
}
