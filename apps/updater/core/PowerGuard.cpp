#include "core/PowerGuard.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/Clock.h"
#include "platform/SleepInhibitor.h"

namespace core {

namespace {

// Guards nest (a language-pack load inside an update, a radio update after
// one): only the outermost takes the lock, so an inner guard ending cannot
// let the computer sleep in the middle of the outer work. When the last one
// ends the lock lingers, so that it spans the seconds in which the GPS
// restarts between two pieces of one update.
std::mutex gMutex;
std::condition_variable gWake;
int gDepth = 0;
platform::SleepInhibitor* gHeld = nullptr;  // the inhibitor whose lock is ours
uint64_t gGeneration = 0;                   // changes when a linger is cut short
int64_t gLingerMs = kPowerLingerMs;
// Linger threads not yet ended: they wait for nothing on the device, so the
// count of device work in progress leaves them out.
std::atomic<int> gLingerThreads{0};

constexpr const char* kReleasedLine = "The computer may sleep again\r\n";

// Gives the lock back; the caller holds gMutex. True when there was one.
bool releaseLocked() {
    if (gHeld == nullptr) return false;
    gHeld->release();
    gHeld = nullptr;
    ++gGeneration;
    gWake.notify_all();
    return true;
}

void lingerThenRelease(uint64_t generation, std::chrono::microseconds wait) {
    bool released = false;
    {
        std::unique_lock lock(gMutex);
        gWake.wait_for(lock, wait, [&] { return gGeneration != generation; });
        if (gGeneration == generation && gDepth == 0) released = releaseLocked();
    }
    if (released) logLine(kReleasedLine);
    --gLingerThreads;
}

}  // namespace

PowerGuard::PowerGuard(const std::string& why) {
    platform::SleepInhibitor* inhibitor = services().sleepInhibitor;
    if (inhibitor == nullptr) return;  // a build or a test with nothing to hold
    std::string reason;
    {
        std::lock_guard lock(gMutex);
        if (gHeld == inhibitor) {
            // Nested, or taking over a lingering lock: a linger waiting to
            // give it back must not.
            ++gDepth;
            ++gGeneration;
            gWake.notify_all();
            inhibitor_ = inhibitor;
            return;
        }
        if (inhibitor->acquire(why)) {
            ++gDepth;
            gHeld = inhibitor;
            inhibitor_ = inhibitor;
        } else {
            reason = inhibitor->lastError();
            if (reason.empty()) reason = "no reason given";
        }
    }
    // Logged outside the lock: a log line may wait for the window thread,
    // which may itself be waiting to take a guard.
    if (inhibitor_ != nullptr) {
        logLine("Keeping the computer awake while the GPS is updated\r\n");
    } else {
        logLinef(
            "Cannot keep the computer awake (%s); do not let it sleep until the GPS is done\r\n",
            reason.c_str());
    }
}

PowerGuard::~PowerGuard() {
    end(false);
}

void PowerGuard::endNow() {
    end(true);
}

void PowerGuard::end(bool now) {
    if (inhibitor_ == nullptr) return;
    inhibitor_ = nullptr;
    bool released = false;
    uint64_t generation = 0;
    std::chrono::microseconds wait{0};
    {
        std::lock_guard lock(gMutex);
        if (--gDepth > 0) return;
        if (now || gLingerMs <= 0) {
            released = releaseLocked();
        } else {
            generation = gGeneration;
            wait = clock().realDuration(gLingerMs);
        }
    }
    if (released) {
        logLine(kReleasedLine);
    } else if (wait.count() > 0) {
        ++gLingerThreads;
        threads().start("power-linger",
                        [generation, wait] { lingerThenRelease(generation, wait); });
    }
}

int powerLingerThreads() {
    return gLingerThreads.load();
}

void setPowerLingerMs(int64_t ms) {
    bool released = false;
    {
        std::lock_guard lock(gMutex);
        gLingerMs = ms;
        if (ms <= 0 && gDepth == 0) released = releaseLocked();
    }
    if (released) logLine(kReleasedLine);
}

}  // namespace core
