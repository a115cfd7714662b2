// An update takes minutes, and the user may turn to something else: when it
// ends, and the window is not the one in front, the desktop says how it
// ended (Services::notifier).
#pragma once

#include <string>

namespace core {

// An update has begun: the update worker has started, or the bootloader-mode
// thread for a GPS that the scan found in its flash bootloader.
void updateBegun();

// The update has ended, with the status texts now shown, or with `text`
// where a message box says how. Tells the desktop once per update begun, and
// only while the window is not the active one; when no notification service
// takes it, one log line says so.
void updateEnded(const std::string& text = {});

// The status as the window shows it: the title, then the detail, without
// blank lines.
std::string finalStatusText();

// The summary line of the notification.
inline constexpr const char* kUpdateEndedSummary = "Quorta GPS Updater";

}  // namespace core
