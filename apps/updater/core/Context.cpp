#include "core/Context.h"

namespace core {

namespace {

std::atomic<Context*> gCurrent{nullptr};

}  // namespace

Context& context() {
    if (Context* current = gCurrent.load(std::memory_order_acquire)) return *current;
    static Context process;
    return process;
}

void deviceShownPhase() {
    const UpdaterState& st = context().state;
    if (st.updateInProgress || st.reverseUpgrade) return;
    const UpdatePhase now = updatePhases().current();
    if (now == UpdatePhase::Idle || now == UpdatePhase::PuttingBackHeld)
        setUpdatePhase(UpdatePhase::DeviceShown);
}

ScopedContext::ScopedContext(hidport::Backend backend) : ScopedContext() {
    hid_.emplace(backend);
}

ScopedContext::ScopedContext()
    : context_(std::make_unique<Context>()),
      previous_(gCurrent.exchange(context_.get(), std::memory_order_acq_rel)) {}

ScopedContext::~ScopedContext() {
    // Workers started through the fallback still read this context.
    context_->threads.joinAll();
    gCurrent.store(previous_, std::memory_order_release);
}

}  // namespace core
