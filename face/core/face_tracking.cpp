#include "core/face_tracking.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "core/frame_steps.h"

namespace {

// How far around a followed face the next frame is searched, as a share of its side on each side: a face
// moves a few pixels a frame; one placed by a scan of an earlier frame may have moved much further since.
constexpr double kFollowMargin = 0.5;
constexpr double kScanMargin = 1.0;
// Face sizes searched near a face, as shares of its side: it may come closer or go away between frames, a little
// from one frame to the next, more since an earlier frame's scan.
constexpr double kFollowSmallest = 0.9;
constexpr double kFollowLargest = 1.1;
constexpr double kScanSmallest = 0.7;
constexpr double kScanLargest = 1.5;
// Frames a face that was not found near its place is still searched for, unreported, before it is dropped.
constexpr int kMissesKept = 3;
// Misses in a row after which a face followed calls for a full scan.
constexpr int kMissesBeforeScan = 2;
// Where the picture changed since the frame before, a face may have come in: such places are searched at once
// rather than left to the next full scan. Changes are looked for in averages of 4 x 4 pixels (single-pixel noise
// drops out), count from 24 grey levels, and from a quarter of the smallest face's area.
constexpr int kChangeCell = 4;
constexpr double kChangeLevel = 24;
constexpr double kChangeShareOfFace = 0.25;
// A frame that changed over more than this share of its area (the camera moved, the light changed) is not searched
// there but calls for a full scan: searching it would cost nearly what a scan does, on every frame.
constexpr double kChangeBudget = 1.0 / 3;
// Scans no frame called for take at most this share of the wall time: the safety net for a face the change search
// cannot see (one that fades in slowly) then costs little, and leaves the machine to the frames and to other
// programs.
constexpr double kRoutineScanShare = 1.0 / 20;
// OpenCV's own threads: none besides the loop's and the scanning thread, which each run their calls themselves.
constexpr int kOpenCvThreads = 1;
// The scanning thread's niceness: on a busy machine the frames come first, and scans take what time is left.
constexpr int kScanNiceness = 10;

using Clock = std::chrono::steady_clock;

// The scanning thread: one full-frame detection per image handed over, until asked to stop.
void scan_loop(FaceTracker &tracker, const Options &options) {
    pthread_setname_np(pthread_self(), "face scans");  // as top -H and perf show it
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kScanNiceness);  // this thread's alone, on Linux
    ScanExchange &ex = tracker.exchange;
    std::unique_lock<std::mutex> lock(ex.mutex);
    for (;;) {
        ex.wake.wait(lock, [&] { return ex.stopping || !ex.waiting.empty(); });
        if (ex.stopping) return;
        const cv::Mat image = std::move(ex.waiting);
        ex.waiting = cv::Mat();
        ex.scanning = true;
        lock.unlock();
        std::vector<cv::Rect> found;
        std::optional<cv::Exception> failure;
        const Clock::time_point start = Clock::now();
        try {
            const int side = detection_min_side(options.min_face_size, options.scale);
            found = run_cascade(tracker.scan_detector, image, options, cv::Size(side, side));
        } catch (const cv::Exception &error) {
            failure = error;
        }
        lock.lock();
        ex.finished = Clock::now();
        ex.took = ex.finished - start;
        ex.scanning = false;
        ex.found = std::move(found);
        ex.failure = std::move(failure);
        ex.done = true;
    }
}

bool overlaps(const cv::Rect &a, const cv::Rect &b) { return (a & b).area() > 0; }

// A face found by a wider search (a scan, or where the picture changed) becomes one to follow, unless one is
// already followed there.
void take_in(FaceTracker &tracker, const cv::Rect &face) {
    const bool followed = std::any_of(tracker.faces.begin(), tracker.faces.end(),
                                      [&](const TrackedFace &t) { return overlaps(t.box, face); });
    if (!followed) tracker.faces.push_back(TrackedFace{face, 0, true});
}

// Takes a finished scan's faces in; throws what the detector threw during it.
void collect_scan(FaceTracker &tracker) {
    ScanExchange &ex = tracker.exchange;
    std::vector<cv::Rect> scanned;
    {
        std::lock_guard<std::mutex> lock(ex.mutex);
        if (ex.failure) {
            const cv::Exception failure = *ex.failure;
            ex.failure.reset();
            throw failure;
        }
        if (ex.done) scanned = std::move(ex.found);
        ex.done = false;
    }
    for (const cv::Rect &face : scanned) take_in(tracker, face);
}

// Hands the detection image to the scanning thread when it is idle and a scan is called for or, within its
// share of the time, due anyway.
void hand_over_scan(FaceTracker &tracker, const cv::Mat &detection) {
    ScanExchange &ex = tracker.exchange;
    {
        std::lock_guard<std::mutex> lock(ex.mutex);
        if (ex.scanning || !ex.waiting.empty()) return;
        const auto rest = std::chrono::duration_cast<Clock::duration>(ex.took * (1 / kRoutineScanShare - 1));
        if (!tracker.scan_called && Clock::now() < ex.finished + rest) return;
        ex.waiting = detection.clone();
        tracker.scan_called = false;
    }
    ex.wake.notify_one();
}

cv::Rect grown(const cv::Rect &box, double margin, const cv::Size &image) {
    const int dx = static_cast<int>(box.width * margin), dy = static_cast<int>(box.height * margin);
    return cv::Rect(box.x - dx, box.y - dy, box.width + 2 * dx, box.height + 2 * dy) & cv::Rect(cv::Point(), image);
}

int centre_distance(const cv::Rect &a, const cv::Rect &b) {
    const cv::Point d = (a.tl() + a.br()) - (b.tl() + b.br());
    return std::abs(d.x) + std::abs(d.y);
}

// The face nearest the followed one in the area around it, or an empty rectangle.
cv::Rect search_near(cv::CascadeClassifier &detector, const cv::Mat &detection, const TrackedFace &face,
                     const Options &options) {
    const cv::Rect area = grown(face.box, face.from_scan ? kScanMargin : kFollowMargin, detection.size());
    const int user_side = detection_min_side(options.min_face_size, options.scale);
    const int smallest =
        std::max(user_side, static_cast<int>(face.box.width * (face.from_scan ? kScanSmallest : kFollowSmallest)));
    const int largest =
        std::max(smallest, static_cast<int>(face.box.width * (face.from_scan ? kScanLargest : kFollowLargest)));
    if (area.width < smallest || area.height < smallest) return cv::Rect();
    std::vector<cv::Rect> found =
        run_cascade(detector, detection(area), options, cv::Size(smallest, smallest), cv::Size(largest, largest));
    cv::Rect nearest;
    for (cv::Rect candidate : found) {
        candidate += area.tl();
        if (nearest.empty() || centre_distance(candidate, face.box) < centre_distance(nearest, face.box))
            nearest = candidate;
    }
    return nearest;
}

// Moves each followed face to where it was found in this frame; two that found the same face become one. A face
// that had been found near its place and now is not, two frames in a row, calls for a scan: a single miss is
// more often the detector's flicker than a lost face, and a scan costs as much as a dozen frames.
void follow_faces(FaceTracker &tracker, cv::CascadeClassifier &detector, const cv::Mat &detection,
                  const Options &options) {
    std::vector<TrackedFace> kept;
    for (const TrackedFace &face : tracker.faces) {
        const cv::Rect found = search_near(detector, detection, face, options);
        const bool duplicate = !found.empty() && std::any_of(kept.begin(), kept.end(), [&](const TrackedFace &k) {
            return k.misses == 0 && (k.box & found).area() * 2 > std::min(k.box.area(), found.area());
        });
        if (duplicate) continue;
        if (!found.empty()) {
            kept.push_back(TrackedFace{found, 0, false});
            continue;
        }
        if (!face.from_scan && face.misses >= kMissesBeforeScan - 1) tracker.scan_called = true;
        if (face.misses < kMissesKept) kept.push_back(TrackedFace{face.box, face.misses + 1, face.from_scan});
    }
    tracker.faces = std::move(kept);
}

// Searches where the frame changed and takes what it finds in, as a scan's faces; a change too wide to search
// calls for a scan. `cells` are the frame's change_cells.
void search_changes(FaceTracker &tracker, cv::CascadeClassifier &detector, const cv::Mat &detection,
                    const cv::Mat &cells, const Options &options) {
    const int side = detection_min_side(options.min_face_size, options.scale);
    const PictureChanges changes = picture_changes(tracker.previous_cells, cells, detection.size(), tracker.faces, side);
    if (changes.too_wide) tracker.scan_called = true;
    for (const cv::Rect &area : changes.areas) {
        if (area.width < side || area.height < side) continue;
        for (const cv::Rect &face : run_cascade(detector, detection(area), options, cv::Size(side, side)))
            take_in(tracker, face + area.tl());
    }
}

std::vector<cv::Rect> to_frame(const std::vector<cv::Rect> &boxes, double scale) {
    std::vector<cv::Rect> faces;
    for (const cv::Rect &box : boxes) faces.push_back(map_to_frame(box, scale));
    return faces;
}

}  // namespace

std::vector<cv::Rect> merged_areas(std::vector<cv::Rect> boxes, int margin, const cv::Size &image) {
    for (cv::Rect &box : boxes)
        box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
              cv::Rect(cv::Point(), image);
    for (bool merging = true; merging;) {
        merging = false;
        for (size_t i = 0; i < boxes.size() && !merging; ++i)
            for (size_t j = i + 1; j < boxes.size() && !merging; ++j)
                if (overlaps(boxes[i], boxes[j])) {
                    boxes[i] |= boxes[j];
                    boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(j));
                    merging = true;
                }
    }
    return boxes;
}

cv::Mat change_cells(const cv::Mat &detection) {
    const cv::Size cells(detection.cols / kChangeCell, detection.rows / kChangeCell);
    cv::Mat reduced;
    if (!cells.empty()) cv::resize(detection, reduced, cells, 0, 0, cv::INTER_AREA);
    return reduced;
}

PictureChanges picture_changes(const cv::Mat &before_cells, const cv::Mat &now_cells, const cv::Size &detection,
                               const std::vector<TrackedFace> &faces, int smallest) {
    PictureChanges changes;
    if (before_cells.size() != now_cells.size() || now_cells.empty()) return changes;
    cv::Mat changed;
    cv::absdiff(before_cells, now_cells, changed);
    cv::threshold(changed, changed, kChangeLevel, 255, cv::THRESH_BINARY);
    const cv::Rect all_cells(cv::Point(), changed.size());
    for (const TrackedFace &face : faces) {
        const cv::Rect near = grown(face.box, kScanMargin, detection);
        changed(cv::Rect(near.tl() / kChangeCell, near.br() / kChangeCell) & all_cells) = 0;
    }
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(changed, outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    const double least = kChangeShareOfFace * smallest * smallest / (kChangeCell * kChangeCell);
    std::vector<cv::Rect> boxes;
    for (const std::vector<cv::Point> &outline : outlines) {
        const cv::Rect cell_box = cv::boundingRect(outline);
        if (cell_box.area() < least) continue;
        boxes.emplace_back(cell_box.tl() * kChangeCell, cell_box.br() * kChangeCell);
    }
    boxes = merged_areas(boxes, std::max(smallest / 2, kChangeCell), detection);
    int area = 0;
    for (const cv::Rect &box : boxes) area += box.area();
    changes.too_wide = area > kChangeBudget * detection.area();
    if (!changes.too_wide) changes.areas = std::move(boxes);
    return changes;
}

std::vector<cv::Rect> changed_areas(const cv::Mat &previous, const cv::Mat &detection,
                                    const std::vector<TrackedFace> &faces, int smallest) {
    if (previous.size() != detection.size()) return {};
    return picture_changes(change_cells(previous), change_cells(detection), detection.size(), faces, smallest).areas;
}

FaceTracker::~FaceTracker() { stop_tracking(*this); }

bool start_tracking(FaceTracker &tracker, const Options &options) {
    if (!load_detector(options.cascade_path, tracker.scan_detector)) return false;
    cv::setNumThreads(kOpenCvThreads);
    tracker.scanner = std::thread(scan_loop, std::ref(tracker), options);
    return true;
}

void stop_tracking(FaceTracker &tracker) {
    if (!tracker.scanner.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
        tracker.exchange.stopping = true;
    }
    tracker.exchange.wake.notify_one();
    tracker.scanner.join();
}

std::vector<cv::Rect> track_faces(FaceTracker &tracker, cv::CascadeClassifier &detector, cv::Mat &grey,
                                  const Options &options) {
    const cv::Mat detection = detection_image(grey, options.scale);
    if (detection.empty()) return {};
    std::vector<cv::Rect> boxes;
    cv::Mat cells = change_cells(detection);
    if (!tracker.first_frame_done) {
        const int side = detection_min_side(options.min_face_size, options.scale);
        const Clock::time_point start = Clock::now();
        for (const cv::Rect &box : run_cascade(detector, detection, options, cv::Size(side, side)))
            tracker.faces.push_back(TrackedFace{box, 0, false});
        std::lock_guard<std::mutex> lock(tracker.exchange.mutex);
        tracker.exchange.finished = Clock::now();
        tracker.exchange.took = tracker.exchange.finished - start;
        tracker.first_frame_done = true;
    } else {
        collect_scan(tracker);
        search_changes(tracker, detector, detection, cells, options);
        follow_faces(tracker, detector, detection, options);
        hand_over_scan(tracker, detection);
    }
    tracker.previous_cells = std::move(cells);
    for (const TrackedFace &face : tracker.faces)
        if (face.misses == 0) boxes.push_back(face.box);
    return to_frame(boxes, options.scale);
}

std::vector<cv::Rect> frame_faces(FaceTracker &tracker, cv::CascadeClassifier &detector, cv::Mat &grey,
                                  const Options &options) {
    return options.track ? track_faces(tracker, detector, grey, options) : find_faces(detector, grey, options);
}

void log_tracking_settings(const Options &options, Logger &logger) {
    if (options.track) logger.line("tracking: enabled");
}
