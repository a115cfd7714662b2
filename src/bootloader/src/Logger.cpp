#include "bootloader/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace bootloader {

namespace {

Logger* gLogger = nullptr;
FileLogger::Sink gSink;

}  // namespace

void Logger::formatAndEmit(const char* fmt, va_list args) {
    char small[256];
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, fmt, args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        _log(small);
        return;
    }
    // A failed allocation drops just this message.
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text) {
        std::vsnprintf(text, static_cast<size_t>(length) + 1, fmt, again);
        _log(text);
        std::free(text);
    }
    va_end(again);
}

void Logger::log(int level, const char* fmt, va_list args) {
    if (!fmt || !passes(level)) return;
    formatAndEmit(fmt, args);
}

void Logger::log(const char* fmt, va_list args) {
    log(outputLevel, fmt, args);
}

// A plain text is handed on as it stands: a '%' in it (a file name, a device's
// text) must never be read as a conversion with no argument behind it.
void Logger::log(int level, const std::string& text) {
    if (!passes(level)) return;
    _log(text.c_str());
}

void Logger::log(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log(level, fmt, args);
    va_end(args);
}

void Logger::log(const std::string& text) {
    log(outputLevel, text);
}

void Logger::log(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log(outputLevel, fmt, args);
    va_end(args);
}

FileLogger::FileLogger(const char*) {}

void FileLogger::setSink(Sink sink) {
    gSink = std::move(sink);
}

void FileLogger::_log(const char* text) {
    if (gSink) gSink(text);
}

void setLogger(Logger* logger) {
    gLogger = logger;
}
Logger* getLogger() {
    return gLogger;
}

#define QUORTA_LOG_AT(level)            \
    do {                                \
        if (!gLogger) return;           \
        va_list args;                   \
        va_start(args, fmt);            \
        gLogger->log(level, fmt, args); \
        va_end(args);                   \
    } while (0)

void logAlways(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogAlways);
}
void logJson(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogJson);
}
void logError(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogError);
}
void logWarning(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogWarning);
}
void logInfo(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogInfo);
}
void logInfo2(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogInfo2);
}
void logDetail(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogDetail);
}
void logTrace(const char* fmt, ...) {
    QUORTA_LOG_AT(kLogTrace);
}
void logAt(int level, const char* fmt, ...) {
    QUORTA_LOG_AT(level);
}
void logDefault(const char* fmt, ...) {
    QUORTA_LOG_AT(gLogger->outputLevel);
}

#undef QUORTA_LOG_AT

void logString(int level, const std::string& text) {
    if (gLogger) gLogger->log(level, text);
}

void logString(const std::string& text) {
    if (gLogger) gLogger->log(text);
}

std::string formatSize(uint64_t bytes) {
    char text[64];
    auto scaled = [&](uint64_t unit, const char* exact, const char* fraction) {
        double value = static_cast<double>(bytes) / static_cast<double>(unit);
        std::snprintf(text, sizeof text, bytes % unit == 0 ? exact : fraction, value);
    };
    constexpr uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    if (bytes >= kGiB) {
        scaled(kGiB, "%.f GB", "%.3f GB");
    } else if (bytes >= kMiB) {
        scaled(kMiB, "%.f MB", "%.3f MB");
    } else if (bytes >= kKiB) {
        scaled(kKiB, "%.f KB", "%.3f KB");
    } else {
        std::snprintf(text, sizeof text, "%d bytes", static_cast<int>(bytes));
    }
    return text;
}

}  // namespace bootloader
