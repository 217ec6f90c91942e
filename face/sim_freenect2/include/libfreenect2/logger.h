#pragma once
// Simulated sensor: libfreenect2's logging interface.
#include <string>

namespace libfreenect2 {

class Logger {
public:
    enum Level { None = 0, Error = 1, Warning = 2, Info = 3, Debug = 4 };

    // From LIBFREENECT2_LOGGER_LEVEL (none, error, warning, info, debug, in any case); Info otherwise.
    static Level getDefaultLevel();
    static std::string level2str(Level level);

    virtual ~Logger();
    virtual Level level() const;
    virtual void log(Level level, const std::string &message) = 0;

protected:
    Level level_ = Info;
};

// Info and Debug go to standard output, Warning and Error to standard error.
Logger *createConsoleLogger(Logger::Level level);
Logger *createConsoleLoggerWithDefaultLevel();

// The library owns the global logger: setting a new one deletes the previous one; nullptr silences it.
Logger *getGlobalLogger();
void setGlobalLogger(Logger *logger);

}  // namespace libfreenect2
