#include "core/ReportCallbacks.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "core/Context.h"

namespace core {

namespace {

std::string vformat(const char* fmt, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), static_cast<size_t>(n));
}

}  // namespace

ReportCallbacks& reportCallbacks() {
    return context().reportCallbacks;
}

void clearReportCallbacks() {
    ReportCallbacks& cb = reportCallbacks();
    cb.logLine = nullptr;
    cb.reportStatus = nullptr;
    cb.waitSeconds = nullptr;
    cb.currentDevice = nullptr;
}

std::string formatText(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    return text;
}

void logLine(std::string_view text) {
    const ReportCallbacks& cb = reportCallbacks();
    if (cb.logLine) cb.logLine(std::string(text));
}

void logLinef(const char* fmt, ...) {
    const ReportCallbacks& cb = reportCallbacks();
    if (!cb.logLine) return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    cb.logLine(text);
}

void sendStatus(int isComplete, const char* title, const char* detail) {
    const ReportCallbacks& cb = reportCallbacks();
    if (cb.reportStatus) cb.reportStatus(isComplete, title, detail);
}

void waitSeconds(int seconds) {
    const ReportCallbacks& cb = reportCallbacks();
    if (cb.waitSeconds) cb.waitSeconds(seconds);
}

}  // namespace core
