#include "core/WorkerThreads.h"

#include "core/Services.h"
#include "platform/Threads.h"

namespace core {

size_t runningWorkerThreads() {
    auto* own = dynamic_cast<platform::StdThreads*>(&threads());
    return own ? own->running() : 0;
}

void joinWorkerThreads() {
    if (auto* own = dynamic_cast<platform::StdThreads*>(&threads())) own->joinAll();
}

}  // namespace core
