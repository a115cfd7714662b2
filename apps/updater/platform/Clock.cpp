#include "platform/Clock.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

ScaledClock::ScaledClock(double scale) : scale_(scale > 0 ? scale : 1.0) {}

void ScaledClock::sleepMs(int64_t ms) {
    noteSleep(ms);
    if (ms <= 0) return;
    std::this_thread::sleep_for(realDuration(ms));
}

std::chrono::microseconds ScaledClock::realDuration(int64_t ms) const {
    if (ms <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(ms) * 1000.0 * scale_));
}

int64_t ScaledClock::nowMs() const {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<int64_t>(static_cast<double>(us) / 1000.0 / scale_);
}

namespace {
std::atomic<ScaledClock*> gShared{nullptr};
std::mutex gSharedMutex;
}  // namespace

Clock& sharedClock() {
    if (ScaledClock* c = gShared.load()) return *c;
    std::lock_guard lock(gSharedMutex);
    if (!gShared.load()) gShared.store(new ScaledClock(1.0));  // lives for the process
    return *gShared.load();
}

void setSharedClockScale(double scale) {
    // Set once at start-up, before any thread waits; the old clock is kept
    // alive because a reference to it may still be held.
    std::lock_guard lock(gSharedMutex);
    gShared.store(new ScaledClock(scale));
}

}  // namespace platform
