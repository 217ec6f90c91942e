// lumivar_enroll: saves face samples of the enrolled person for lumivar_face, from the Kinect v2 colour stream
// or from photos, cut exactly as the recognition loop cuts the faces it recognises.
#include <cstdlib>
#include <string>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/objdetect.hpp>

#include "enroll/enroll_options.h"
#include "enroll/enroll_sources.h"
#include "enroll/enrollment.h"
#include "core/face_tracking.h"
#include "core/frame_steps.h"
#include "core/liveness.h"
#include "core/names.h"
#include "core/options.h"
#include "core/quality.h"
#include "enroll/sample_store.h"
#include "core/stop_signals.h"
#include "sensor/sensor.h"

namespace {


void write_startup_report(const EnrollOptions &o, Logger &logger) {
    logger.line("Lumivar enrolment v0.7.0: face samples for lumivar_face");
    logger.line(o.from_images ? "source: images " + o.images_dir : std::string("source: Kinect v2 colour stream"));
    logger.line("samples_dir: " + o.face.samples_dir);
    logger.line("stage: " + o.stage);
    logger.line("count: " + std::to_string(o.count));
    logger.line("min_change: " + format_real(o.min_change));
    log_quality_settings(o.face, logger);
    log_liveness_settings(o.face, logger);
    log_tracking_settings(o.face, logger);
}

// The closing lines; the status tells a full set, a short one, none, or a failed write apart.
int finish(const EnrollStats &stats, int count, bool liveness, int status, Logger &logger) {
    logger.line(enroll_summary_line(stats, count, liveness));
    if (status != 0) return status;
    if (stats.saved == 0) {
        logger.line("error: no sample saved");
        return kNoSampleSavedStatus;
    }
    if (stats.saved < count) {
        logger.line("warning: saved " + std::to_string(stats.saved) + " of " + std::to_string(count) + " samples");
    }
    logger.line("clean exit");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The program reports its own failures; OpenCV's diagnostics only when asked for.
    if (!std::getenv("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    EnrollOptions options;
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_enroll";
    if (!parse_enroll_args(argc, argv, options)) {
        print_enroll_usage(program_name);
        return kRejectedCommandLine;
    }

    install_stop_signals();  // Ctrl-C and SIGTERM end the run like its frame limit
    Logger logger;
    open_run_log(logger);
    write_startup_report(options, logger);

    // Checked before anything is opened: a manifest this run cannot extend is never rewritten.
    SampleStore store;
    std::string problem;
    if (!open_sample_store(options.face.samples_dir, options.stage, store, problem)) {
        logger.line("error: " + problem);
        return kSamplesDirUnusableStatus;
    }
    logger.line("manifest: " + manifest_path(store).string() + " (" + std::to_string(store.entries_read) +
                " entries)");

    cv::CascadeClassifier detector;
    if (!load_detector(options.face.cascade_path, detector)) {
        logger.line("error: failed to load cascade: " + options.face.cascade_path);
        return kCascadeNotLoadedStatus;
    }

    EnrollStats stats;
    const int status = options.from_images ? enroll_from_images(options, logger, detector, store, stats)
                                           : enroll_from_sensor(options, logger, detector, store, stats);
    if (status == kNoSensorStatus || status == kSensorNotOpenedStatus || status == kStreamNotStartedStatus ||
        status == kImagesUnreadableStatus)
        return status;  // nothing was looked at
    return finish(stats, options.count, options.face.liveness, status, logger);
}
