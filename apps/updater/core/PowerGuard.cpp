#include "core/PowerGuard.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/Context.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/Clock.h"
#include "platform/SleepInhibitor.h"

namespace core {

namespace {

// When the last guard ends the lock lingers, so that it spans the seconds in
// which the GPS restarts between two pieces of one update.

constexpr const char* kReleasedLine = "The computer may sleep again\r\n";

// Gives the lock back; the caller holds p.mutex. True when there was one.
bool releaseLocked(PowerLocks& p) {
    if (p.held == nullptr) return false;
    p.held->release();
    p.held = nullptr;
    ++p.generation;
    p.wake.notify_all();
    return true;
}

void lingerThenRelease(PowerLocks& p, uint64_t generation, std::chrono::microseconds wait) {
    bool released = false;
    {
        std::unique_lock lock(p.mutex);
        p.wake.wait_for(lock, wait, [&] { return p.generation != generation; });
        if (p.generation == generation && p.depth == 0) released = releaseLocked(p);
    }
    if (released) logLine(kReleasedLine);
    --p.lingerThreads;
}

}  // namespace

PowerGuard::PowerGuard(const std::string& why) {
    platform::SleepInhibitor* inhibitor = services().sleepInhibitor;
    if (inhibitor == nullptr) return;  // a build or a test with nothing to hold
    PowerLocks& p = context().power;
    std::string reason;
    {
        std::lock_guard lock(p.mutex);
        if (p.held == inhibitor) {
            // Nested, or taking over a lingering lock: a linger waiting to
            // give it back must not.
            ++p.depth;
            ++p.generation;
            p.wake.notify_all();
            inhibitor_ = inhibitor;
            locks_ = &p;
            return;
        }
        if (inhibitor->acquire(why)) {
            ++p.depth;
            p.held = inhibitor;
            inhibitor_ = inhibitor;
            locks_ = &p;
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
    PowerLocks& p = *locks_;
    bool released = false;
    uint64_t generation = 0;
    std::chrono::microseconds wait{0};
    {
        std::lock_guard lock(p.mutex);
        if (--p.depth > 0) return;
        if (now || p.lingerMs <= 0) {
            released = releaseLocked(p);
        } else {
            generation = p.generation;
            wait = clock().realDuration(p.lingerMs);
        }
    }
    if (released) {
        logLine(kReleasedLine);
    } else if (wait.count() > 0) {
        ++p.lingerThreads;
        // The context joins its threads before it goes, so `p` outlives the wait.
        threads().start("power-linger",
                        [&p, generation, wait] { lingerThenRelease(p, generation, wait); });
    }
}

int powerLingerThreads() {
    return context().power.lingerThreads.load();
}

void setPowerLingerMs(int64_t ms) {
    PowerLocks& p = context().power;
    bool released = false;
    {
        std::lock_guard lock(p.mutex);
        p.lingerMs = ms;
        if (ms <= 0 && p.depth == 0) released = releaseLocked(p);
    }
    if (released) logLine(kReleasedLine);
}

}  // namespace core
