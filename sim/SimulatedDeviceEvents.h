// The device-change notifications of a simulated computer: what its GPSes
// raise when they change identity or their drive comes and goes, delivered in
// the order raised on a thread of their own, as the real monitor does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DeviceEvents.h"

namespace sim {

class SimulatedDeviceEvents : public platform::DeviceEvents {
  public:
    SimulatedDeviceEvents() = default;
    ~SimulatedDeviceEvents() override;  // stops
    SimulatedDeviceEvents(const SimulatedDeviceEvents&) = delete;
    SimulatedDeviceEvents& operator=(const SimulatedDeviceEvents&) = delete;

    // Starts the delivery thread. False without a sink or while running.
    bool start(Sink sink) override;
    // Ends the delivery and joins its thread; the sink is not called after
    // this returns. Called from inside the sink it only asks the thread to
    // end. Events not yet delivered are dropped.
    void stop() override;

    // From any thread, never blocking on the sink. While stopped the event
    // goes nowhere, as a notification nobody listens for.
    void raise(platform::DeviceEvent event);

    // Every event raised so far, delivered or not.
    std::vector<platform::DeviceEvent> raised() const;
    void clearRaised();
    // Waits (real time) until every event raised while running has returned
    // from the sink. False on timeout.
    bool waitDelivered(std::chrono::milliseconds timeout) const;

  private:
    void run(Sink sink, uint64_t run);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    std::deque<platform::DeviceEvent> pending_;
    std::vector<platform::DeviceEvent> raised_;
    uint64_t runId_ = 0;     // which run the thread serves
    bool stopping_ = false;  // the current run was asked to end
    bool running_ = false;
    bool delivering_ = false;
};

}  // namespace sim
