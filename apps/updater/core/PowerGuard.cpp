#include "core/PowerGuard.h"

#include <mutex>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/SleepInhibitor.h"

namespace core {

namespace {

// Guards nest (a language-pack load inside an update, a radio update after
// one): only the outermost takes and gives back the lock, so an inner guard
// ending cannot let the computer sleep in the middle of the outer work.
std::mutex gMutex;
int gDepth = 0;

}  // namespace

PowerGuard::PowerGuard(const std::string& why) {
    platform::SleepInhibitor* inhibitor = services().sleepInhibitor;
    if (inhibitor == nullptr) return;  // a build or a test with nothing to hold
    std::lock_guard<std::mutex> lock(gMutex);
    if (gDepth > 0) {
        ++gDepth;
        inhibitor_ = inhibitor;
        return;
    }
    if (inhibitor->acquire(why)) {
        ++gDepth;
        inhibitor_ = inhibitor;
        logLine("Keeping the computer awake while the GPS is updated\r\n");
        return;
    }
    std::string reason = inhibitor->lastError();
    if (reason.empty()) reason = "no reason given";
    logLinef("Cannot keep the computer awake (%s); do not let it sleep until the GPS is done\r\n",
             reason.c_str());
}

PowerGuard::~PowerGuard() {
    if (inhibitor_ == nullptr) return;
    std::lock_guard<std::mutex> lock(gMutex);
    if (--gDepth > 0) return;
    inhibitor_->release();
    logLine("The computer may sleep again\r\n");
}

}  // namespace core
