// The library's one process-wide logger and its free logging functions.
//
// Levels: 0 unconditional, 1 JSON result text (passes only when the filter
// level is exactly 1), 2 error, 3 warning, 4 info, 5 extra info, 6 detail,
// 7 byte trace. Every function is a no-op while no logger is installed.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

namespace bootloader {

enum LogLevel : int {
    kLogAlways = 0,
    kLogJson = 1,
    kLogError = 2,
    kLogWarning = 3,
    kLogInfo = 4,
    kLogInfo2 = 5,
    kLogDetail = 6,
    kLogTrace = 7,
};

class Logger {
  public:
    virtual ~Logger() = default;

    virtual void log(int level, const char* fmt, va_list args);
    virtual void log(const char* fmt, va_list args);
    virtual void log(int level, const std::string& text);
    virtual void log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    virtual void log(const std::string& text);
    virtual void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // True when a message of this level reaches the sink.
    bool passes(int level) const {
        return level == kLogJson ? filterLevel == kLogJson : level <= filterLevel;
    }

    int filterLevel = 4;  // messages above this level are dropped
    int outputLevel = 4;  // level of the calls that give none

  protected:
    virtual void _log(const char* text) = 0;

  private:
    // Formats into a stack buffer when the text fits, so the byte trace of
    // every transfer costs no allocation; longer texts get a heap buffer.
    void formatAndEmit(const char* fmt, va_list args);
};

// The logger the Bootloader installs. It writes no file: its sink is set by the
// application (quorta-bl prints through it). Without a sink it discards.
class FileLogger : public Logger {
  public:
    using Sink = std::function<void(const char*)>;

    explicit FileLogger(const char* name = nullptr);

    // The application's sink for every message that passes the filter. Set it
    // before any bootloader work starts: the logger takes no lock.
    static void setSink(Sink sink);

  protected:
    void _log(const char* text) override;

  private:
    std::string filePath_;  // kept for the shape of the class; nothing is opened
};

void setLogger(Logger* logger);
Logger* getLogger();

// Level helpers (printf formats).
void logAlways(const char* fmt, ...) __attribute__((format(printf, 1, 2)));   // 0
void logJson(const char* fmt, ...) __attribute__((format(printf, 1, 2)));     // 1
void logError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));    // 2
void logWarning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // 3
void logInfo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));     // 4
void logInfo2(const char* fmt, ...) __attribute__((format(printf, 1, 2)));    // 5
void logDetail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));   // 6
void logTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));    // 7
void logAt(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void logDefault(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // outputLevel
void logString(int level, const std::string& text);                           // text is the format
void logString(const std::string& text);                                      // at outputLevel

// "1.500 KB", "3 MB", "1023 bytes" ...
std::string formatSize(uint64_t bytes);

}  // namespace bootloader
