#pragma once
// Reading lumivar_face run logs (the LOGFILE or saved standard output): the decision settings of each run's
// start-up report and one record per calibration line. Stage names and paths are opaque text to it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/identity.h"
#include "core/names.h"
#include "core/run_log.h"

constexpr int kQualityReasonCount = static_cast<int>(kCalibrationReasons.size());

// One evaluated face as its calibration line reports it.
struct LoggedFace {
    double distance = 0.0;  // LBPH distance, lower is better; 0 for a rejected face
    uint64_t line = 0;      // line number in its file, from 1
    int frame = 0;
    uint8_t reason = 0;  // index into kCalibrationReasons; 0 is accepted
    IdentityLabel label = IdentityLabel::Unknown;
    bool accepted() const { return reason == 0; }
};

// What one run decided with. Zero or empty: the log did not say.
struct RunSettings {
    std::string samples_dir;
    double candidate_threshold = 0.0;
    double confirmed_threshold = 0.0;
    int confirm_window = 0;
    int confirm_min_hits = 0;
};

// One run of the program: a log written with `>>` holds several, each with its own window.
struct LoggedRun {
    std::string name;  // the file, or "FILE (run N)" when the file holds several runs
    RunSettings settings;
    std::vector<LoggedFace> faces;
};

// No LBPH distance comes near this (each cell of the histogram grid adds at most 4); a larger one is no
// distance lumivar_face measured, and would break the arithmetic in hundredths that chooses thresholds.
constexpr double kLargestLoggedDistance = 1e9;

// The pieces of a calibration line, in the order lumivar_face writes them: the face (its distance, frame, label
// and gate reason) and the two limits of its run. The stage and the sample file are not needed and may hold any
// text. False for a line of another layout, a non-finite or negative number, or a distance above
// kLargestLoggedDistance. `face.line` is left as it is.
bool parse_calibration_line(std::string_view text, LoggedFace &face, double &candidate, double &confirmed);

enum class LogReadOutcome { read, unreadable, no_calibration_lines };

// Appends the file's runs that have faces to `runs`. Malformed lines are reported through `logger` as
// "warning: FILE:LINE: ..." (the first ten of a file; the rest only counted) and added to `malformed_lines`.
// Missing window settings fall back to lumivar_face's defaults, with a warning.
LogReadOutcome read_run_log(const std::string &path, std::vector<LoggedRun> &runs, uint64_t &malformed_lines,
                            Logger &logger);
