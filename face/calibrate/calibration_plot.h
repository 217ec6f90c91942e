#pragma once
// The picture of a calibration: both groups' distance distributions on one axis, with the thresholds marked.
#include <string>
#include <vector>

#include "calibrate/calibration_replay.h"
#include "core/run_log.h"

struct PlotMarker {
    double distance = 0.0;
    std::string text;  // "current candidate 60.00"
    bool recommended = false;
    bool label_left = false;  // the label goes left of the line (the lower of two thresholds)
};

// Each group's accepted distances as a histogram of its own share of faces per bin, so a small group stays
// visible beside a large one. PNG or SVG by the path's ending. The file is written whole or not at all: on any
// failure an "error: " line is logged, a file already at the path is left as it was, and the result is false.
bool write_distance_plot(const std::string &path, const GroupSummary &enrolled, const GroupSummary &others,
                         const std::vector<PlotMarker> &markers, Logger &logger);
