#include "pipeline.h"

#include <string>

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

int run_batch_pipeline(Options &options, Logger &logger) {
    (void)options;
    logger.line("error: batch pipeline not built yet");
    return 20;
}
