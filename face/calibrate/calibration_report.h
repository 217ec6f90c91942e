#pragma once
// The lines of lumivar_calibrate's report: the runs read, each group's faces and distances, the replayed
// figures of the current and the recommended thresholds, and what to run next.
#include <optional>
#include <string>
#include <vector>

#include "calibrate/calibration_replay.h"
#include "core/run_log.h"
#include "calibrate/threshold_recommendation.h"

// One line per run; warnings where the runs' models differ (their distances do not mix), where lumivar_face
// refuses a run's window settings, and where the runs' window settings differ, naming `window`, the settings the
// recommended thresholds are replayed with.
void report_runs(const std::vector<LoggedRun> &enrolled, const std::vector<LoggedRun> &others,
                 const WindowSettings &window, Logger &logger);

// "<group>_faces: ..." and, when any face was accepted, "<group>_distances: ...".
void report_group(const std::string &group, const GroupSummary &summary, Logger &logger);

// The replayed figures of one set of thresholds (none: each run's own), and every face of the others it names.
void report_replay(const std::string &name, const std::optional<Thresholds> &thresholds,
                   const Recommendation &recommendation, const ReplayFigures &enrolled, const ReplayFigures &others,
                   Logger &logger);

// Faces until the first confirmation in each enrolled run, with the current and the recommended thresholds.
void report_first_confirmations(const std::vector<LoggedRun> &enrolled, const ReplayFigures &current,
                                const ReplayFigures *recommended, Logger &logger);

// The margin and the command line to use, with the window settings when they are not the defaults; false, with
// an "error: " line instead of the command, when lumivar_face would refuse it.
bool report_command(const Recommendation &recommendation, const GroupSummary &others, const WindowSettings &window,
                    Logger &logger);

// Plain advice when no threshold confirms the enrolled person without naming one of the others.
void report_no_separation(const GroupSummary &enrolled, const GroupSummary &others, Logger &logger);
