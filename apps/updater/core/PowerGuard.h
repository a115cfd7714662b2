// Holds the computer awake for one piece of device work: an update, a
// factory reset, a radio update, a language-pack load. Made on the worker's
// thread at the start of the work; the lock goes when the guard does, on
// every way out. Guards nest: only the outermost takes and gives back the
// lock.
#pragma once

#include <string>

namespace platform {
class SleepInhibitor;
}

namespace core {

class PowerGuard {
  public:
    // `why` is what the desktop may show as the reason ("Updating the GPS's
    // firmware"). Takes the inhibitor of services(); without one, or when it
    // cannot be had, the work goes on and the log says so.
    explicit PowerGuard(const std::string& why);
    ~PowerGuard();
    PowerGuard(const PowerGuard&) = delete;
    PowerGuard& operator=(const PowerGuard&) = delete;

    bool held() const { return inhibitor_ != nullptr; }

  private:
    platform::SleepInhibitor* inhibitor_ = nullptr;  // set while the lock is ours
};

// The reasons the desktop may show for each piece of work.
inline constexpr const char* kUpdatingFirmwareReason = "Updating the GPS's firmware";
inline constexpr const char* kWritingFirmwareReason = "Writing the GPS's firmware";
inline constexpr const char* kUpdatingRadioReason = "Updating the GPS's radio";
inline constexpr const char* kFactoryResetReason = "Resetting the GPS";
inline constexpr const char* kLanguagePacksReason = "Loading language packs";

}  // namespace core
