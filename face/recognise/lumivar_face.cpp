// lumivar_face: trains on the enrolled person's samples, then recognises faces in the Kinect v2 colour stream.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/objdetect.hpp>

#include "core/face_tracking.h"
#include "core/frame_steps.h"
#include "core/liveness.h"
#include "core/names.h"
#include "core/options.h"
#include "core/quality.h"
#include "recognise/recognition_loop.h"
#include "core/samples.h"
#include "core/stop_signals.h"
#include "core/training.h"
#include "recognise/line_output.h"

namespace {


void write_startup_report(const Options &o, Logger &logger) {
    logger.line("Lumivar face recognition v0.7.0 unknown-rejection hardening");
    logger.line("mode: local Veyra-only LBPH recognition with conservative Unknown/CandidateVeyra/ConfirmedVeyra "
                "labels; no database; no network");
    logger.line("samples_dir: " + o.samples_dir);
    logger.line("model_path: " + o.model_path);
    logger.line("candidate_threshold: " + format_real(o.candidate_threshold));
    logger.line("confirmed_threshold: " + format_real(o.confirmed_threshold));
    logger.line("confirm_window: " + std::to_string(o.confirm_window));
    logger.line("confirm_min_hits: " + std::to_string(o.confirm_min_hits));
    log_quality_settings(o, logger);
    logger.line(std::string("calibration_log: ") + (o.calibration_log ? "enabled" : "disabled"));
    log_liveness_settings(o, logger);
    log_tracking_settings(o, logger);
    logger.line("threshold_note: LBPH confidence is lower-is-better; defaults are conservative and require "
                "hardware retuning");
    logger.line("security_note: local convenience recognition only; not Face ID-level security, access control, "
                "privacy decision, or Imbra identity trust");
}

}  // namespace

int main(int argc, char **argv) {
    // The program reports its own failures; OpenCV's diagnostics only when asked for.
    if (!std::getenv("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    Options options;
    const std::string program_name = argc > 0 ? argv[0] : "lumivar_face";
    if (!parse_args(argc, argv, options)) {
        print_usage(program_name);
        return kRejectedCommandLine;
    }

    install_stop_signals();  // Ctrl-C and SIGTERM end the run like its frame limit
    // Refused before anything is written or the sensor is touched; a FIFO waits here for its reader.
    LineOutput faces_out;
    if (!options.faces_out.empty()) {
        if (const std::string why = open_line_output(options.faces_out, faces_out); !why.empty()) {
            std::cerr << "--faces-out cannot be written: " << options.faces_out << ": " << why << "\n";
            print_usage(program_name);
            return kRejectedCommandLine;
        }
        if (faces_out.fd < 0) {
            std::cout << stop_signal_line(stop_signal()) << std::endl;
            return 0;
        }
    }
    Logger logger;
    open_run_log(logger);
    write_startup_report(options, logger);

    std::vector<TrainingSample> samples;
    if (!load_veyra_samples(options.samples_dir, samples)) {
        logger.line("error: no readable Veyra samples found under " + options.samples_dir);
        return kNoSamplesStatus;
    }
    const TrainingSet training_set = assemble_training_set(samples);
    log_sample_summary(training_set, logger);
    log_stage_counts(training_set, logger);
    const cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer = train_recognizer(training_set);
    if (!save_model_files(*recognizer, options, logger)) return kModelWriteFailedStatus;
    logger.line("trained and saved model");

    cv::CascadeClassifier detector;
    if (!load_detector(options.cascade_path, detector)) {
        logger.line("error: failed to load cascade: " + options.cascade_path);
        return kCascadeNotLoadedStatus;
    }
    const int status = run_recognition_loop(options, logger, *recognizer, samples, detector,
                                            options.faces_out.empty() ? nullptr : &faces_out);
    close_line_output(faces_out);
    return status;
}
