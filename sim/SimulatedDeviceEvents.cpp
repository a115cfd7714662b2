#include "sim/SimulatedDeviceEvents.h"

namespace sim {

SimulatedDeviceEvents::~SimulatedDeviceEvents() {
    stop();
    std::thread leftover;
    {
        std::lock_guard lock(mutex_);
        leftover = std::move(thread_);  // a run ended from inside its sink
    }
    if (leftover.joinable()) leftover.join();
}

bool SimulatedDeviceEvents::start(Sink sink) {
    std::thread finished;
    {
        std::lock_guard lock(mutex_);
        if (!sink || running_) return false;
        finished = std::move(thread_);
    }
    if (finished.joinable()) finished.join();  // ended from inside its sink
    std::lock_guard lock(mutex_);
    if (running_ || thread_.joinable()) return false;  // another start won
    pending_.clear();
    stopping_ = false;
    running_ = true;
    const uint64_t run = ++runId_;
    thread_ = std::thread([this, sink = std::move(sink), run] { this->run(sink, run); });
    return true;
}

void SimulatedDeviceEvents::stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        stopping_ = true;
        pending_.clear();
        changed_.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) return;  // joined later
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
}

void SimulatedDeviceEvents::raise(platform::DeviceEvent event) {
    std::lock_guard lock(mutex_);
    raised_.push_back(event);
    if (!running_) return;
    pending_.push_back(event);
    changed_.notify_all();
}

std::vector<platform::DeviceEvent> SimulatedDeviceEvents::raised() const {
    std::lock_guard lock(mutex_);
    return raised_;
}

void SimulatedDeviceEvents::clearRaised() {
    std::lock_guard lock(mutex_);
    raised_.clear();
}

bool SimulatedDeviceEvents::waitDelivered(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return pending_.empty() && !delivering_; });
}

void SimulatedDeviceEvents::run(Sink sink, uint64_t run) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || runId_ != run || !pending_.empty(); });
        if (stopping_ || runId_ != run) break;
        const platform::DeviceEvent event = pending_.front();
        pending_.pop_front();
        delivering_ = true;
        lock.unlock();
        sink(event);
        lock.lock();
        delivering_ = false;
        changed_.notify_all();
    }
    delivering_ = false;
    changed_.notify_all();
}

}  // namespace sim
