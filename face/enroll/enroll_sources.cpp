#include "enroll/enroll_sources.h"

#include <chrono>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "core/face_tracking.h"
#include "core/frame_steps.h"
#include "sensor/preview_display.h"
#include "core/samples.h"
#include "core/stop_signals.h"
#include "sensor/sensor.h"

namespace fs = std::filesystem;

namespace {

// Converts and judges one supported colour frame, saves its sample, shows it; false after a failed write.
bool enroll_frame(const libfreenect2::Frame &frame, libfreenect2::FrameMap &frames, DepthMapping &depth_mapping,
                  const EnrollOptions &options, Logger &logger, cv::CascadeClassifier &detector,
                  FaceTracker &tracker, SampleStore &store, EnrollStats &stats, SavedFace &last,
                  PreviewWindow &preview) {
    FrameImages images = frame_images(frame, frames, depth_mapping);
    ++stats.looked_at;
    const std::vector<cv::Rect> faces = frame_faces(tracker, detector, images.grey, options.face);
    const EnrollVerdict verdict = judge_faces(faces, images.grey, options, last, kSavedSampleTone, &images.depth);
    const bool written =
        record_verdict(verdict, "frame=" + std::to_string(stats.looked_at), store, stats, last, logger);
    draw_enroll_overlay(images.colour, verdict, stats, options.count);
    show_preview(preview, kEnrollWindowTitle, images.colour);
    return written;
}

// The photo in grey, as the samples directory's images are read; empty when it is no readable image.
cv::Mat read_photo(const fs::path &path) { return cv::imread(path.string(), cv::IMREAD_GRAYSCALE); }

}  // namespace

int enroll_from_sensor(const EnrollOptions &options, Logger &logger, cv::CascadeClassifier &detector,
                       SampleStore &store, EnrollStats &stats) {
    FaceTracker tracker;  // with --track; joined on every way out
    if (options.face.track && !start_tracking(tracker, options.face)) {
        logger.line("error: failed to load cascade: " + options.face.cascade_path);
        return kCascadeNotLoadedStatus;
    }
    quieten_sensor_library();
    libfreenect2::Freenect2 context;
    const bool with_depth = options.face.liveness;
    libfreenect2::SyncMultiFrameListener listener(listened_frame_types(with_depth));
    libfreenect2::FrameMap frames;
    libfreenect2::Freenect2Device *device = nullptr;
    const int status = start_colour_stream(context, listener, logger, device, with_depth);
    if (status != 0) return status;
    DepthMapping depth_mapping;
    if (with_depth) depth_mapping = start_depth_mapping(*device);

    PreviewWindow preview = open_preview_window(kEnrollWindowTitle, logger);
    SavedFace last;
    bool write_failed = false;
    const auto start = std::chrono::steady_clock::now();

    // Every end of this loop (enough samples, frame limit, key, stop signal, time-out, unusable frame, OpenCV
    // failure, failed write) leads to the same shutdown.
    while (stats.saved < options.count && stats.looked_at < options.face.frames && !stop_signal()) {
        const libfreenect2::Frame *frame = wait_for_colour_frame(listener, frames, logger, with_depth);
        if (frame == nullptr) break;
        bool stop_requested = false;
        try {
            write_failed = !enroll_frame(*frame, frames, depth_mapping, options, logger, detector, tracker, store, stats,
                                         last, preview);
            stop_requested = !write_failed && poll_stop_key(preview);
        } catch (const cv::Exception &error) {
            // OpenCV failed on this frame: as in the recognition loop, the run ends with its shutdown lines.
            listener.release(frames);
            logger.line(frame_failure_line(error));
            break;
        }
        if (stop_requested) logger.line("stop requested by keyboard");
        listener.release(frames);
        if (stop_requested || write_failed) break;
    }
    log_stop_signal(logger);

    stats.seconds = seconds_since(start);
    stop_tracking(tracker);
    stop_colour_stream(*device);
    close_preview_window(preview);
    logger.line("stopped RGB stream");
    return write_failed ? kSampleWriteFailedStatus : 0;
}

int enroll_from_images(const EnrollOptions &options, Logger &logger, cv::CascadeClassifier &detector,
                       SampleStore &store, EnrollStats &stats) {
    std::vector<fs::path> photos;
    std::error_code ec;
    if (options.images_dir.empty() || !fs::is_directory(options.images_dir, ec) ||
        !list_image_files(options.images_dir, photos)) {
        logger.line("error: cannot read images directory: " + options.images_dir);
        return kImagesUnreadableStatus;
    }
    SavedFace last;
    const auto start = std::chrono::steady_clock::now();
    for (const fs::path &photo : photos) {
        if (stats.saved >= options.count || stop_signal()) break;
        ++stats.looked_at;
        const std::string where = "image=" + photo.string();
        EnrollVerdict verdict;
        verdict.reason = "unreadable";
        try {
            cv::Mat grey = read_photo(photo);
            if (!grey.empty()) verdict = judge_picture(detector, grey, options, last);
        } catch (const cv::Exception &) {
            verdict = EnrollVerdict();
            verdict.reason = "unreadable";  // an image OpenCV cannot work on is skipped like a damaged one
        }
        if (!record_verdict(verdict, where, store, stats, last, logger)) {
            stats.seconds = seconds_since(start);
            return kSampleWriteFailedStatus;
        }
    }
    stats.seconds = seconds_since(start);
    log_stop_signal(logger);
    return 0;
}
