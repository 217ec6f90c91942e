// Simulated sensor: console logging with a level, as libfreenect2 does it.
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <libfreenect2/logger.h>

#include "sim_internal.h"

namespace libfreenect2 {

namespace {

class ConsoleLogger : public Logger {
public:
    explicit ConsoleLogger(Level level) { level_ = level; }
    void log(Level level, const std::string &message) override {
        if (level > level_ || level == None) return;
        std::ostream &out = level <= Warning ? std::cerr : std::cout;
        out << "[" << level2str(level) << "] " << message << std::endl;
    }
};

struct GlobalLogger {
    std::unique_ptr<Logger> logger{createConsoleLoggerWithDefaultLevel()};
};

GlobalLogger &global() {
    static GlobalLogger holder;
    return holder;
}

}  // namespace

Logger::~Logger() = default;

Logger::Level Logger::level() const { return level_; }

// Compared in lower case; any other value, the empty one included, means Info.
Logger::Level Logger::getDefaultLevel() {
    const char *value = std::getenv("LIBFREENECT2_LOGGER_LEVEL");
    if (!value) return Info;
    std::string text(value);
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "none") return None;
    if (text == "error") return Error;
    if (text == "warning") return Warning;
    if (text == "debug") return Debug;
    return Info;
}

std::string Logger::level2str(Level level) {
    switch (level) {
        case Error: return "Error";
        case Warning: return "Warning";
        case Info: return "Info";
        case Debug: return "Debug";
        default: return "";
    }
}

Logger *createConsoleLogger(Logger::Level level) { return new ConsoleLogger(level); }

Logger *createConsoleLoggerWithDefaultLevel() { return createConsoleLogger(Logger::getDefaultLevel()); }

Logger *getGlobalLogger() { return global().logger.get(); }

void setGlobalLogger(Logger *logger) {
    if (global().logger.get() != logger) global().logger.reset(logger);
}

namespace sim {

void log(Logger::Level level, const std::string &message) {
    Logger *logger = getGlobalLogger();
    if (logger && level <= logger->level()) logger->log(level, message);
}

}  // namespace sim
}  // namespace libfreenect2
