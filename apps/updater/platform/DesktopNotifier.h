// A message shown by the desktop outside the program's window, for a user
// who has turned to something else while the GPS is being updated.
#pragma once

#include <string>

namespace platform {

class DesktopNotifier {
  public:
    virtual ~DesktopNotifier() = default;
    // Shows `summary` with `body`. False when no notification service took
    // it; lastError() then says why, for the log.
    virtual bool notify(const std::string& summary, const std::string& body) = 0;
    virtual std::string lastError() const = 0;
};

}  // namespace platform
