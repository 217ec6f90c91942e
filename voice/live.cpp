#include "live.h"

int run_live_mode(const Options &options, Logger &logger) {
    (void)options;
    logger.line("error: failed to start arecord for live mode");
    return 30;
}
