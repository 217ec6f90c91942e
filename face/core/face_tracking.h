#pragma once
// --track: faces followed from frame to frame near where they were, while full-frame scans run on a thread of
// their own when the frames call for one (most of the picture changed, a face followed was lost) and otherwise
// now and then, in a small share of the time. A face that appears is found where the picture changed, or else
// by the next scan. The first frame is scanned in full before tracking starts.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "core/options.h"
#include "core/run_log.h"

// A face being followed, in detection-image coordinates.
struct TrackedFace {
    cv::Rect box;
    int misses = 0;      // frames in a row in which the search near it found nothing
    bool from_scan = false;  // placed by a scan of an earlier frame, not yet found near there
};

// What the main thread and the scanning thread share, under `mutex`.
struct ScanExchange {
    std::mutex mutex;
    std::condition_variable wake;
    cv::Mat waiting;           // a detection image handed over and not yet taken
    bool scanning = false;     // the thread is inside the detector
    bool done = false;         // `found` holds a finished scan not yet collected
    std::vector<cv::Rect> found;
    std::optional<cv::Exception> failure;  // what the detector threw during the scan
    bool stopping = false;
    // The latest scan's length and end, which set when the next one not called for may start.
    std::chrono::steady_clock::duration took{};
    std::chrono::steady_clock::time_point finished;
};

struct FaceTracker {
    cv::CascadeClassifier scan_detector;  // the scanning thread's own: a classifier is not shared between threads
    ScanExchange exchange;
    std::thread scanner;
    std::vector<TrackedFace> faces;
    cv::Mat previous_cells;  // the frame before's change_cells, to see where the picture changed
    bool first_frame_done = false;
    bool scan_called = false;  // a frame called for a scan that has not been handed over yet
    // Joins the scanning thread on every way out of the loop that owns it.
    ~FaceTracker();
};

// Loads the scanning thread's detector from `options.cascade_path` and starts the thread; false when the
// cascade cannot be loaded (nothing started then).
bool start_tracking(FaceTracker &tracker, const Options &options);

// Asks the scanning thread to stop and joins it (after the scan in hand, if any); safe to call twice.
void stop_tracking(FaceTracker &tracker);

// The faces of a grey frame in full-frame coordinates, as find_faces gives them: the first frame scanned in
// full, later ones searched near the faces already followed and near those the latest scan found. Throws the
// cv::Exception of a failed scan.
std::vector<cv::Rect> track_faces(FaceTracker &tracker, cv::CascadeClassifier &detector, cv::Mat &grey,
                                  const Options &options);

// The detection image in averages of 4 x 4 pixels, as the change search compares frames.
cv::Mat change_cells(const cv::Mat &detection);

// Where the picture changed between two frames' change_cells; `too_wide` when the changes are past the budget
// below (the camera moved, the light changed), and then no areas.
struct PictureChanges {
    std::vector<cv::Rect> areas;  // in detection-image coordinates
    bool too_wide = false;
};
PictureChanges picture_changes(const cv::Mat &before_cells, const cv::Mat &now_cells, const cv::Size &detection,
                               const std::vector<TrackedFace> &faces, int smallest);

// The places, away from the faces followed, where the detection image differs from the one before (in 4 x 4
// averages, by 24 grey levels or more, over a quarter of the smallest face's area at least), each grown by
// half the smallest face and merged with those it then overlaps; none when they cover more than a third of
// the image or the images differ in size.
std::vector<cv::Rect> changed_areas(const cv::Mat &previous, const cv::Mat &detection,
                                    const std::vector<TrackedFace> &faces, int smallest);

// Each box grown by `margin` on every side within `image`, and those that then overlap merged into one.
std::vector<cv::Rect> merged_areas(std::vector<cv::Rect> boxes, int margin, const cv::Size &image);

// With --track, the tracker's faces; otherwise find_faces on every frame.
std::vector<cv::Rect> frame_faces(FaceTracker &tracker, cv::CascadeClassifier &detector, cv::Mat &grey,
                                  const Options &options);

// "tracking: enabled" in the start-up report with --track; nothing without it.
void log_tracking_settings(const Options &options, Logger &logger);
