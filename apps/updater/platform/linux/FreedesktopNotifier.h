// Desktop notifications through org.freedesktop.Notifications on the user's
// session bus, the service every Linux desktop (and most notification
// daemons of a bare window manager) provides.
#pragma once

#include <mutex>
#include <string>

#include "platform/DesktopNotifier.h"

namespace platform {

class FreedesktopNotifier : public DesktopNotifier {
  public:
    // `busAddress` empty: the session bus of the environment; otherwise a
    // D-Bus address (tests run a mock notification service on a private bus).
    explicit FreedesktopNotifier(std::string busAddress = {});

    bool notify(const std::string& summary, const std::string& body) override;
    std::string lastError() const override;

  private:
    std::string busAddress_;
    mutable std::mutex mutex_;
    std::string lastError_;
};

// The application name and the desktop entry the notifications carry, so
// that the desktop shows them with the program's name and icon.
inline constexpr const char* kNotificationAppName = "Quorta GPS Updater";
inline constexpr const char* kDesktopEntryName = "org.quorta.GpsUpdater";
inline constexpr const char* kNotificationIcon = "quorta-updater";

}  // namespace platform
