#include "core/PowerGuard.h"

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/SleepInhibitor.h"

namespace core {

PowerGuard::PowerGuard(const std::string& why) {
    platform::SleepInhibitor* inhibitor = services().sleepInhibitor;
    if (inhibitor == nullptr) return;  // a build or a test with nothing to hold
    if (inhibitor->acquire(why)) {
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
    inhibitor_->release();
    logLine("The computer may sleep again\r\n");
}

}  // namespace core
