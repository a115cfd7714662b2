#include "core/WorkerThreads.h"

#include <algorithm>

#include "core/PowerGuard.h"
#include "core/Services.h"
#include "platform/Threads.h"

namespace core {

size_t runningWorkerThreads() {
    auto* own = dynamic_cast<platform::StdThreads*>(&threads());
    if (!own) return 0;
    // A lock lingering after the last piece of work is not work in progress.
    const size_t running = own->running();
    const size_t lingering = static_cast<size_t>(std::max(powerLingerThreads(), 0));
    return running > lingering ? running - lingering : 0;
}

void joinWorkerThreads() {
    if (auto* own = dynamic_cast<platform::StdThreads*>(&threads())) own->joinAll();
}

}  // namespace core
