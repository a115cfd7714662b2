#include "core/DevicePermission.h"

#include <mutex>
#include <string>

#include "core/ReportCallbacks.h"
#include "core/UpdaterState.h"
#include "hidport/hidport.h"

namespace core {

namespace {

std::mutex gMutex;
std::string gLoggedNode;  // the node the log has told of since our devices were last away

}  // namespace

bool reportPermissionProblem() {
    const std::string node = hidport::lastPermissionDeniedNode();
    if (node.empty()) return false;
    bool fresh;
    {
        std::lock_guard lock(gMutex);
        fresh = gLoggedNode != node;
        gLoggedNode = node;
    }
    // Every device event rescans; the log says it once, not on every scan.
    if (fresh) {
        logLinef(
            "Cannot open the GPS at %.64s: permission denied. Install the udev rules "
            "70-quorta-gps.rules (from the package, or packaging/linux in the source) into "
            "/usr/lib/udev/rules.d or /etc/udev/rules.d, then unplug the GPS and plug it in "
            "again.\r\n",
            node.c_str());
    }
    // A rescan clears the detail before it opens the device: put the advice
    // back, so it stays in view for as long as the device cannot be opened.
    if (state().statusDetail() != kPermissionDeniedDetail) {
        sendStatus(0, nullptr, kPermissionDeniedDetail);
    }
    return true;
}

void forgetPermissionProblem() {
    {
        std::lock_guard lock(gMutex);
        if (gLoggedNode.empty()) return;
        gLoggedNode.clear();
    }
    if (state().statusDetail() == kPermissionDeniedDetail) sendStatus(0, nullptr, "");
}

bool permissionProblemPending() {
    std::lock_guard lock(gMutex);
    return !gLoggedNode.empty();
}

}  // namespace core
