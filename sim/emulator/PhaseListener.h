// The emulator's end of the pipe its child tells its phases down: the
// updater writes the name of each phase of the update it enters, one a line
// (platform/linux/EmulatedRoad.h), and the simulated GPS's cable waits for
// one of them, as it does inside the updater's own process.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "core/UpdatePhase.h"

namespace emu {

class PhaseListener {
  public:
    using Hook = std::function<void(core::UpdatePhase entered)>;

    // Makes the pipe (both ends close-on-exec); ok() is false when it could not.
    PhaseListener();
    ~PhaseListener();  // stop()s
    PhaseListener(const PhaseListener&) = delete;
    PhaseListener& operator=(const PhaseListener&) = delete;

    bool ok() const { return writeEnd_ >= 0; }
    // The descriptor the child is handed (SpawnPlan::keepFds).
    int writeEnd() const { return writeEnd_; }

    // Once the child is started: the emulator lets go of the write end, and
    // `hook` is called, on a thread of the listener's, with each phase the
    // child names. Lines that name no phase are passed over.
    void listen(Hook hook);
    // After the child ended: what it wrote is still read, then the thread
    // ends, even if a process the child started holds the write end.
    void stop();

  private:
    void run(const Hook& hook);

    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace emu
