// lumivar_calibrate: reads lumivar_face runs made with --calibration-log, one group with only the enrolled person
// in view and one with other people only, replays the decision rules and recommends the two thresholds.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "calibrate/calibrate_options.h"
#include "calibrate/calibration_log.h"
#include "calibrate/calibration_plot.h"
#include "calibrate/calibration_replay.h"
#include "calibrate/calibration_report.h"
#include "calibrate/threshold_recommendation.h"
#include "core/names.h"
#include "core/stop_signals.h"

namespace {

// 0 when every log was read, else the status of the first that could not be.
int read_group(const std::vector<std::string> &paths, std::vector<LoggedRun> &runs, uint64_t &malformed,
               Logger &logger) {
    for (const std::string &path : paths) {
        const LogReadOutcome outcome = read_run_log(path, runs, malformed, logger);
        if (outcome == LogReadOutcome::unreadable) return kUnreadableLogStatus;
        if (outcome == LogReadOutcome::no_calibration_lines) return kNoCalibrationLinesStatus;
    }
    return 0;
}

// The first enrolled run's thresholds, and the recommended ones when there are some.
std::vector<PlotMarker> threshold_markers(const RunSettings &current, const Recommendation *recommended) {
    std::vector<PlotMarker> markers;
    auto add = [&](double candidate, double confirmed, const std::string &who, bool is_recommended) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", candidate);
        if (candidate == confirmed) {
            markers.push_back({candidate, who + " candidate and confirmed " + text, is_recommended, false});
            return;
        }
        markers.push_back({candidate, who + " candidate " + text, is_recommended, false});
        std::snprintf(text, sizeof text, "%.2f", confirmed);
        markers.push_back({confirmed, who + " confirmed " + text, is_recommended, true});
    };
    add(current.candidate_threshold, current.confirmed_threshold, "current", false);
    if (recommended) add(recommended->thresholds.candidate, recommended->thresholds.confirmed, "recommended", true);
    return markers;
}

}  // namespace

int main(int argc, char **argv) {
    if (!std::getenv("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    CalibrateOptions options;
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_calibrate";
    if (!parse_calibrate_args(argc, argv, options)) {
        print_calibrate_usage(program_name);
        return kRejectedCommandLine;
    }

    install_cleanup_on_signals();  // a plot being written is removed, never left half-written
    Logger logger;
    std::vector<LoggedRun> enrolled_runs, others_runs;
    uint64_t malformed = 0;
    if (const int status = read_group(options.enrolled_logs, enrolled_runs, malformed, logger)) return status;
    if (const int status = read_group(options.others_logs, others_runs, malformed, logger)) return status;
    const WindowSettings window = recommended_window(enrolled_runs, others_runs);
    report_runs(enrolled_runs, others_runs, window, logger);
    logger.line("malformed_lines: " + std::to_string(malformed));

    const GroupSummary enrolled = summarise_group(enrolled_runs);
    const GroupSummary others = summarise_group(others_runs);
    report_group("enrolled", enrolled, logger);
    report_group("others", others, logger);
    for (const auto &[group, summary] : {std::pair{"enrolled", &enrolled}, std::pair{"others", &others}})
        if (summary->accepted == 0) {
            logger.line(std::string("error: no accepted face among the ") + group +
                        " logs: every face failed the quality gate");
            return kNoAcceptedFaceStatus;
        }

    const Recommendation recommendation = recommend_thresholds(enrolled, others, options.max_false_candidates);
    const ReplayFigures current_enrolled = replay_group(enrolled_runs, std::nullopt);
    report_replay("current", std::nullopt, recommendation, current_enrolled, replay_group(others_runs, std::nullopt),
                  logger);
    std::optional<ReplayFigures> recommended_enrolled;
    if (recommendation.found) {
        recommended_enrolled = replay_group(enrolled_runs, recommendation.thresholds, window);
        report_replay("recommended", recommendation.thresholds, recommendation, *recommended_enrolled,
                      replay_group(others_runs, recommendation.thresholds, window), logger);
    }
    report_first_confirmations(enrolled_runs, current_enrolled,
                               recommended_enrolled ? &*recommended_enrolled : nullptr, logger);
    const bool separates = recommended_enrolled && recommended_enrolled->confirmed > 0;
    int status = 0;
    if (separates) {
        for (size_t i = 0; i < enrolled_runs.size(); ++i)
            if (recommended_enrolled->first_confirmation[i] == 0)
                logger.line("warning: never confirmed with the recommended thresholds: " + enrolled_runs[i].name);
        if (!report_command(recommendation, others, window, logger)) status = kNoSeparationStatus;
    } else {
        report_no_separation(enrolled, others, logger);
        status = kNoSeparationStatus;
    }

    if (!options.plot_path.empty() &&
        !write_distance_plot(options.plot_path, enrolled, others,
                             threshold_markers(enrolled_runs.front().settings, separates ? &recommendation : nullptr),
                             logger))
        return kPlotNotWrittenStatus;
    return status;
}
