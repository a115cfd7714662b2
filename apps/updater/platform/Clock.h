// Every wait of the updater and of the simulated GPS goes through a Clock, so
// that simulations and tests can run the real sequence of waits scaled down.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Blocks the calling thread for `ms` milliseconds of this clock's time.
    virtual void sleepMs(int64_t ms) = 0;
    // Milliseconds of this clock's time since an arbitrary start.
    virtual int64_t nowMs() const = 0;
    // The wall-clock length of `ms` of this clock's time, for waits that must
    // also wake on an event (a condition variable's wait_for).
    virtual std::chrono::microseconds realDuration(int64_t ms) const = 0;
    // Sum of every sleepMs asked of this clock, in its own milliseconds.
    int64_t totalSleptMs() const { return slept_.load(); }

protected:
    void noteSleep(int64_t ms) { slept_.fetch_add(ms > 0 ? ms : 0); }

private:
    std::atomic<int64_t> slept_{0};
};

// Real time, scaled: scale 1 is the wall clock; scale 0.01 makes every wait a
// hundredth as long, and nowMs() runs a hundred times as fast to match.
class ScaledClock : public Clock {
public:
    explicit ScaledClock(double scale = 1.0);
    void sleepMs(int64_t ms) override;
    int64_t nowMs() const override;
    std::chrono::microseconds realDuration(int64_t ms) const override;
    double scale() const { return scale_; }

private:
    double scale_;
};

// The clock shared by the program (real time unless --time-scale says so).
Clock& sharedClock();
void setSharedClockScale(double scale);

}  // namespace platform
