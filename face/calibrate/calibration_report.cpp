#include "calibrate/calibration_report.h"

#include <cstdio>
#include <set>

namespace {

std::string share(uint64_t part, uint64_t whole) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, " (%.1f%%)", whole == 0 ? 0.0 : 100.0 * part / whole);
    return std::to_string(part) + "/" + std::to_string(whole) + buffer;
}

std::string window_text(const RunSettings &s) {
    return std::to_string(s.confirm_window) + "/" + std::to_string(s.confirm_min_hits);
}

void report_run(const std::string &group, const LoggedRun &run, Logger &logger) {
    const RunSettings &s = run.settings;
    logger.line(group + "_run: faces=" + std::to_string(run.faces.size()) +
                ", candidate_threshold=" + format_real(s.candidate_threshold) +
                ", confirmed_threshold=" + format_real(s.confirmed_threshold) +
                ", confirm_window=" + std::to_string(s.confirm_window) +
                ", confirm_min_hits=" + std::to_string(s.confirm_min_hits) + ", log=" + run.name);
}

// "first (in A); second (in B)" for the distinct values of one setting, between what that means and what is
// done about it.
template <class ValueOf>
void warn_if_mixed(const std::vector<const LoggedRun *> &runs, ValueOf value_of, const std::string &what,
                   const std::string &meaning, const std::string &done, Logger &logger) {
    std::set<std::string> seen;
    std::string listed;
    for (const LoggedRun *run : runs)
        if (seen.insert(value_of(*run)).second)
            listed += (listed.empty() ? "" : "; ") + value_of(*run) + " (in " + run->name + ")";
    if (seen.size() > 1) logger.line("warning: the logs differ in " + what + ": " + meaning + listed + done);
}

}  // namespace

void report_runs(const std::vector<LoggedRun> &enrolled, const std::vector<LoggedRun> &others,
                 const WindowSettings &window, Logger &logger) {
    std::vector<const LoggedRun *> all;
    for (const LoggedRun &run : enrolled) {
        report_run("enrolled", run, logger);
        all.push_back(&run);
    }
    for (const LoggedRun &run : others) {
        report_run("others", run, logger);
        all.push_back(&run);
    }
    // A run without a start-up report says nothing about its samples; it cannot disagree.
    std::vector<const LoggedRun *> with_samples;
    for (const LoggedRun *run : all)
        if (!run->settings.samples_dir.empty()) with_samples.push_back(run);
    warn_if_mixed(with_samples, [](const LoggedRun &r) { return r.settings.samples_dir; }, "samples_dir",
                  "distances from different models do not mix: ", "", logger);
    for (const LoggedRun *run : all)
        if (const std::string why = window_refusal(run->settings); !why.empty())
            logger.line("warning: lumivar_face refuses the window settings " + window_text(run->settings) + " of " +
                        run->name + " (" + why + "): its faces replay as logged, no recommendation uses them");
    RunSettings chosen;
    chosen.confirm_window = window.confirm_window;
    chosen.confirm_min_hits = window.confirm_min_hits;
    warn_if_mixed(all, [](const LoggedRun &r) { return window_text(r.settings); }, "confirm_window/confirm_min_hits",
                  "", "; recommended thresholds are replayed in every run with " + window_text(chosen) +
                          ", the settings the use: line gives",
                  logger);
}

void report_group(const std::string &group, const GroupSummary &summary, Logger &logger) {
    std::string line = group + "_faces: evaluated=" + std::to_string(summary.evaluated) +
                       ", accepted=" + std::to_string(summary.accepted);
    // The liveness reasons only where a run with --liveness refused faces, so other reports read as before.
    for (int reason = 1; reason < kQualityReasonCount; ++reason)
        if (reason < static_cast<int>(kQualityReasons.size()) || summary.by_reason[reason] > 0)
            line += std::string(", ") + kCalibrationReasons[reason] + "=" + std::to_string(summary.by_reason[reason]);
    logger.line(line);
    if (summary.distances.empty()) return;
    const std::vector<double> &d = summary.distances;
    logger.line(group + "_distances: min=" + format_real(d.front()) + ", p5=" + format_real(percentile(d, 5)) +
                ", p50=" + format_real(percentile(d, 50)) + ", p95=" + format_real(percentile(d, 95)) +
                ", max=" + format_real(d.back()));
}

void report_replay(const std::string &name, const std::optional<Thresholds> &thresholds,
                   const Recommendation &recommendation, const ReplayFigures &enrolled, const ReplayFigures &others,
                   Logger &logger) {
    const std::string limits = thresholds ? "candidate_threshold=" + recommendation.candidate_text +
                                                ", confirmed_threshold=" + recommendation.confirmed_text
                                          : std::string("thresholds=as logged");
    logger.line(name + ": " + limits + ", enrolled_candidate_or_better=" +
                share(enrolled.candidates + enrolled.confirmed, enrolled.faces) +
                ", enrolled_confirmed=" + share(enrolled.confirmed, enrolled.faces) +
                ", false_candidates=" + std::to_string(others.candidates) +
                ", false_confirmations=" + std::to_string(others.confirmed));
    for (const NamedFace &named : others.named)
        logger.line(std::string(named.label == IdentityLabel::ConfirmedVeyra ? "false_confirmation" : "false_candidate") +
                    ": thresholds=" + name + ", distance=" + format_real(named.face.distance) +
                    ", frame=" + std::to_string(named.face.frame) + ", line=" + std::to_string(named.face.line) +
                    ", log=" + named.run->name);
    const uint64_t unlisted = others.candidates + others.confirmed - others.named.size();
    if (unlisted > 0)
        logger.line("false_candidates_not_listed: thresholds=" + name + ", faces=" + std::to_string(unlisted));
    const uint64_t unlike = enrolled.unlike_log + others.unlike_log;
    if (unlike > 0)
        logger.line("warning: " + std::to_string(unlike) +
                    " faces replay to another label than their log gives: a log edited, or made by another "
                    "version of lumivar_face");
}

void report_first_confirmations(const std::vector<LoggedRun> &enrolled, const ReplayFigures &current,
                                const ReplayFigures *recommended, Logger &logger) {
    auto faces = [](uint64_t first) { return first == 0 ? std::string("never") : std::to_string(first); };
    for (size_t i = 0; i < enrolled.size(); ++i)
        logger.line("first_confirmation: current=" + faces(current.first_confirmation[i]) +
                    (recommended ? ", recommended=" + faces(recommended->first_confirmation[i]) : "") +
                    ", log=" + enrolled[i].name);
}

bool report_command(const Recommendation &recommendation, const GroupSummary &others, const WindowSettings &window,
                    Logger &logger) {
    char margin[32];
    std::snprintf(margin, sizeof margin, "%.0f%%", kSafetyMargin * 100);
    logger.line("margin: thresholds stay at least " + std::string(margin) + " below the others' closest distance " +
                format_real(others.distances.front()) + "; the confirmed threshold never above " +
                format_real(recommendation.confirmed_limit));
    std::string command = "lumivar_face";
    const std::vector<std::string> words = recommended_command(recommendation, window);
    for (const std::string &word : words) command += " " + word;
    // Only a command lumivar_face takes is printed: the same reading and checks as its own start.
    if (const std::string why = face_command_refusal(words); !why.empty()) {
        logger.line("error: lumivar_face would refuse the recommended command (" + why + "): " + command);
        return false;
    }
    logger.line("use: " + command);
    return true;
}

void report_no_separation(const GroupSummary &enrolled, const GroupSummary &others, Logger &logger) {
    logger.line("no_separation: no threshold confirms the enrolled person without naming one of the others "
                "(enrolled median distance " + format_real(percentile(enrolled.distances, 50)) +
                ", others' closest " + format_real(others.distances.front()) + ")");
    logger.line("advice: enrol more and better samples with lumivar_enroll, in the light and at the distance "
                "the sensor will see the enrolled person");
    logger.line("advice: light the face evenly from the front; back light and deep shadow raise the distance");
    logger.line("advice: stand closer to the sensor, facing it, so the face is larger and sharper");
    logger.line("advice: then record new --calibration-log runs of both groups and run lumivar_calibrate again");
}
