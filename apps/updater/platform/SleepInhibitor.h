// Keeps the computer from sleeping, shutting down or going idle while the GPS
// is being written: a laptop that suspends mid-update can leave the device in
// its bootloader.
#pragma once

#include <string>

namespace platform {

class SleepInhibitor {
  public:
    virtual ~SleepInhibitor() = default;
    // Takes the lock, giving `why` as the reason the desktop may show. False
    // when it cannot be had; lastError() then says why, for the log. Taking it
    // again while held keeps the one lock.
    virtual bool acquire(const std::string& why) = 0;
    // Gives the lock back; nothing happens when none is held.
    virtual void release() = 0;
    virtual std::string lastError() const = 0;
};

}  // namespace platform
