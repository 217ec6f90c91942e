// vocrin: Kinect v2 microphone-array capture, levels, gain, direction and beam.
#include <exception>
#include <ios>
#include <iostream>
#include <string>

#include "beam_processing.h"
#include "live.h"
#include "names.h"
#include "options.h"
#include "pipeline.h"
#include "run_log.h"

namespace {

int run(Options &options, Logger &logger) {
    try {
        return options.live ? run_live_mode(options, logger) : run_batch_pipeline(options, logger);
    } catch (const std::exception &error) {
        logger.line(std::string("error: ") + error.what());
        return kRuntimeErrorStatus;
    }
}

// The console copy is complete either way, so the run keeps its status; a log file that lost
// lines (a full disk, /dev/full) is named on standard error rather than passed over.
void close_run_log(Logger &logger, const std::string &path) {
    if (!logger.file.is_open()) {
        return;
    }
    logger.file.close();
    if (logger.file.fail()) {
        std::cerr << "failed to write log: " << path << "\n";
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::string program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "vocrin";
    Options options;
    if (!parse_args(argc, argv, options)) {
        print_usage(program_name);
        return kRejectedCommandLineStatus;
    }

    Logger logger;
    if (!options.log_path.empty()) {
        // A log that cannot be opened leaves the run on the console alone.
        logger.file.open(options.log_path, std::ios::out | std::ios::trunc);
    }
    logger.line("Vocrin v1.4.0 capture/live-global-mic/input-gain/direction/beamforming/event tool");
    logger.line("scope: Lumivar only; no Imbra integration; no system audio configuration changes");
    logger.line("device: " + options.device);
    for (const std::string &line : beam_processing_lines(options)) logger.line(line);
    const int status = run(options, logger);
    close_run_log(logger, options.log_path);
    return status;
}
