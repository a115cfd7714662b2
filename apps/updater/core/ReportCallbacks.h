// The table through which all device code reports: debug lines, status texts,
// waits, and the record of the connected device. Device code never touches
// the window except through these slots and the window messages.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "core/DeviceRecord.h"

namespace core {

struct ReportCallbacks {
    // Slot 0: append a debug line (lines carry their own line ends).
    std::function<void(const std::string& text)> logLine;
    // Slot 1: change the status texts; a null title or detail leaves that
    // text unchanged. isComplete != 0 marks the end of an operation.
    std::function<void(int isComplete, const char* title, const char* detail)> reportStatus;
    // Slot 2: block the calling thread for n seconds.
    std::function<void(int seconds)> waitSeconds;
    // Slot 3: the record of the connected device, or null before any read.
    std::atomic<SharedDeviceRecord*> currentDevice{nullptr};
};

ReportCallbacks& reportCallbacks();

// Empties every slot.
void clearReportCallbacks();

// --- Calls from device code; each does nothing while its slot is empty. ------

void logLine(std::string_view text);
void logLinef(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void sendStatus(int isComplete, const char* title, const char* detail);
void waitSeconds(int seconds);

// printf into a std::string.
std::string formatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace core
