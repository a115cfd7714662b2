// Holds the computer awake for one piece of device work: an update, a
// factory reset, a radio update, a language-pack load. Made on the worker's
// thread at the start of the work; the lock goes when the guard does, on
// every way out. Guards nest: only the outermost takes the lock. When the
// last guard ends the lock lingers for kPowerLingerMs, so that it also spans
// the seconds in which the GPS restarts between two pieces of one update; a
// guard made meanwhile takes it over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace platform {
class SleepInhibitor;
}

namespace core {

// How long the lock outlives the last guard, in clock milliseconds. A GPS
// comes back in its next mode within seconds; the 45 s driver wait runs
// under a guard of its own.
inline constexpr int64_t kPowerLingerMs = 60000;

// The lock as one run holds it, in the run's context. Guards nest (a
// language-pack load inside an update, a radio update after one): only the
// outermost takes the lock, so an inner guard ending cannot let the computer
// sleep in the middle of the outer work.
struct PowerLocks {
    std::mutex mutex;
    std::condition_variable wake;
    int depth = 0;
    platform::SleepInhibitor* held = nullptr;  // the inhibitor whose lock is ours
    uint64_t generation = 0;                   // changes when a linger is cut short
    int64_t lingerMs = kPowerLingerMs;
    // Linger threads not yet ended: they wait for nothing on the device, so
    // the count of device work in progress leaves them out.
    std::atomic<int> lingerThreads{0};
};

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

    // Ends this guard now; when it was the last, the lock goes at once
    // instead of lingering (before a box that may wait all night).
    void endNow();

  private:
    void end(bool now);
    platform::SleepInhibitor* inhibitor_ = nullptr;  // set while the lock is ours
    PowerLocks* locks_ = nullptr;                    // the run's, taken at the start
};

// Sets the linger; 0 also gives back a lingering lock at once. The program
// sets 0 when its window has closed, so that it ends without waiting.
void setPowerLingerMs(int64_t ms);

// Threads that only wait out a linger; they are not device work, and a front
// end does not wait for them before it ends.
int powerLingerThreads();

// The reasons the desktop may show for each piece of work.
inline constexpr const char* kUpdatingFirmwareReason = "Updating the GPS's firmware";
inline constexpr const char* kWritingFirmwareReason = "Writing the GPS's firmware";
inline constexpr const char* kUpdatingRadioReason = "Updating the GPS's radio";
inline constexpr const char* kFactoryResetReason = "Resetting the GPS";
inline constexpr const char* kLanguagePacksReason = "Loading language packs";

}  // namespace core
