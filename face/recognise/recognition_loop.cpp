// The live half of lumivar_face: the Kinect v2 colour stream through libfreenect2, one frame at a time.
#include "recognise/recognition_loop.h"

#include <chrono>

#include "core/face_tracking.h"
#include "core/frame_steps.h"
#include "core/identity.h"
#include "core/stop_signals.h"
#include "recognise/face_lines.h"
#include "sensor/preview_display.h"
#include "sensor/sensor.h"

namespace {

// What the loop carries from frame to frame.
struct LoopState {
    RunStats stats;
    ConfirmationWindow window;
    PreviewWindow preview;
    DepthMapping depth_mapping;  // with --liveness
    ColourCamera camera;         // the device's own colour camera parameters, for --faces-out
};

// Converts, detects, decides, draws and shows one supported colour frame, which came from the sensor at
// `arrival` (Unix seconds); returns its detection count. Without a window the colour image is neither made
// nor drawn on: nothing would show it.
int process_frame(const libfreenect2::Frame &frame, libfreenect2::FrameMap &frames, double arrival,
                  const Options &options, Logger &logger, const cv::face::FaceRecognizer &recognizer,
                  const std::vector<TrainingSample> &samples, cv::CascadeClassifier &detector, FaceTracker &tracker,
                  LoopState &state, LineOutput *faces_out) {
    FrameImages images = frame_images(frame, frames, state.depth_mapping, state.preview.available);
    ++state.stats.processed_frames;

    const std::vector<cv::Rect> faces = frame_faces(tracker, detector, images.grey, options);
    const std::vector<FaceOutcome> outcomes =
        handle_faces(faces, images, recognizer, samples, options, state.window, state.stats, logger);
    if (faces_out) {
        write_line(*faces_out,
                   faces_line(arrival, state.stats.processed_frames, outcomes, state.camera, options.liveness));
    }
    const int visible = static_cast<int>(faces.size());
    if (state.preview.available) {
        draw_frame_texts(images.colour, visible, state.stats);
        show_preview(state.preview, kPreviewWindowTitle, images.colour);
    }
    return visible;
}

bool status_line_due(int processed_frames, int log_every) {
    return processed_frames == 1 || (log_every > 0 && processed_frames % log_every == 0);
}

}  // namespace

int run_recognition_loop(const Options &options, Logger &logger, const cv::face::FaceRecognizer &recognizer,
                         const std::vector<TrainingSample> &samples, cv::CascadeClassifier &detector,
                         LineOutput *faces_out) {
    FaceTracker tracker;  // with --track; joined on every way out
    if (options.track && !start_tracking(tracker, options)) {
        logger.line("error: failed to load cascade: " + options.cascade_path);
        return kCascadeNotLoadedStatus;
    }
    quieten_sensor_library();
    libfreenect2::Freenect2 context;
    libfreenect2::SyncMultiFrameListener listener(listened_frame_types(options.liveness));
    libfreenect2::FrameMap frames;
    libfreenect2::Freenect2Device *device = nullptr;
    const int status = start_colour_stream(context, listener, logger, device, options.liveness);
    if (status != 0) return status;

    LoopState state;
    if (options.liveness) state.depth_mapping = start_depth_mapping(*device);
    state.camera = colour_camera_of(*device);
    state.preview = open_preview_window(kPreviewWindowTitle, logger);
    const auto start = std::chrono::steady_clock::now();

    // Every end of this loop (frame limit, key, stop signal, time-out, unusable frame, OpenCV failure) leads to
    // the same shutdown.
    while (state.stats.processed_frames < options.frames && !stop_signal()) {
        const libfreenect2::Frame *frame = wait_for_colour_frame(listener, frames, logger, options.liveness);
        if (frame == nullptr) break;
        const double arrival = unix_seconds_now();
        bool stop_requested = false;
        try {
            const int visible = process_frame(*frame, frames, arrival, options, logger, recognizer, samples,
                                              detector, tracker, state, faces_out);
            if (status_line_due(state.stats.processed_frames, options.log_every)) {
                logger.line(status_line(state.stats, visible, state.window) + liveness_status_pieces(options));
            }
            stop_requested = poll_stop_key(state.preview);
        } catch (const cv::Exception &error) {
            // OpenCV failed on this frame: like an unusable frame, the run ends with its shutdown lines.
            listener.release(frames);
            logger.line(frame_failure_line(error));
            break;
        }
        if (stop_requested) logger.line("stop requested by keyboard");
        listener.release(frames);
        if (stop_requested) break;
    }
    log_stop_signal(logger);

    const double elapsed = seconds_since(start);
    const double fps = elapsed > 0.0 ? state.stats.processed_frames / elapsed : 0.0;
    stop_tracking(tracker);
    stop_colour_stream(*device);
    close_preview_window(state.preview);
    logger.line("stopped RGB stream");
    logger.line(summary_line(state.stats, fps, state.window) + liveness_summary_pieces(options, state.stats) +
                (faces_out ? ", faces_out_dropped=" + std::to_string(faces_out->dropped) : ""));
    logger.line("clean exit");
    return 0;
}
