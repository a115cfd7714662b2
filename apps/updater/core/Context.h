// Everything the program keeps between calls, in one object: the update
// state, the connected device's record, the collaborators, the report table,
// the window's workflows and the bootloader operations' error counters.
//
// main.cpp builds one for the run, and a test builds a fresh one instead of
// putting process-wide values back one by one. state(), deviceRecord(),
// services(), reportCallbacks() and workflows() return the fields of the
// current context, so the code that uses them does not know there is one.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "core/DeviceRecord.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdatePhase.h"
#include "core/UpdaterState.h"
#include "core/WindowProcedure.h"
#include "hidport/hidport.h"
#include "platform/Threads.h"

namespace core {

struct Context {
    UpdaterState state;
    UpdatePhases phases;
    SharedDeviceRecord deviceRecord;
    Services services;
    ReportCallbacks reportCallbacks;
    Workflows workflows = programWorkflows();
    // Errors caught at the top of eraseFlash, programFlash and resetDevice;
    // never reset within a run.
    std::atomic<int> eraseErrors{0};
    std::atomic<int> programErrors{0};
    std::atomic<int> resetErrors{0};
    // Whether a progress step owns the bar (StatusReporting.h).
    std::atomic<bool> progressBarTaken{false};
    // The keep-awake lock as this run holds it (PowerGuard.h).
    PowerLocks power;
    // Where workers are started when services.threads is null. Last, so that
    // they are joined before anything they use goes.
    platform::StdThreads threads;
};

// The current context; before any is installed, one that lives as long as
// the process (tools and fuzzers that never install one).
Context& context();

// The current context's phase of the update, and its watchers.
inline UpdatePhases& updatePhases() {
    return context().phases;
}
inline void setUpdatePhase(UpdatePhase phase) {
    context().phases.set(phase);
}
// A GPS read and shown while no update runs; a finished update's Done or
// Failed stays until the next one begins.
void deviceShownPhase();

// A fresh context, current from construction to destruction; the previous
// one is current again after. Install it before any thread uses it and end
// it after every thread it saw has been joined: declared before the threads
// and the collaborators, it is destroyed after them. Its own fallback
// workers are joined before it goes.
class ScopedContext {
  public:
    // With a fresh hidport context too, its backend `backend`: a new process.
    explicit ScopedContext(hidport::Backend backend);
    // On the hidport context in use: the program started again on the same
    // computer, whose devices stay where they are.
    ScopedContext();
    ~ScopedContext();
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;

    Context& operator*() { return *context_; }
    Context* operator->() { return context_.get(); }

  private:
    std::optional<hidport::ScopedContext> hid_;  // ended last
    std::unique_ptr<Context> context_;
    Context* previous_;
};

}  // namespace core
