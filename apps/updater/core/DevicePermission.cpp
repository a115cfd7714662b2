#include "core/DevicePermission.h"

#include <atomic>
#include <cstdint>
#include <string>

#include "core/CommandLink.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "hidport/hidport.h"

namespace core {

namespace {

// True while a refused open may still be tried again.
bool mayTryAgain() {
    const int64_t now = clock().nowMs();
    int64_t first = -1;
    std::atomic<int64_t>& since = state().firstOpenRefusalMs;
    // The first refusal starts the time, on whichever thread it happens.
    if (since.compare_exchange_strong(first, now)) return true;
    return now - first < kLateNodeWaitMs;
}

}  // namespace

hidport::hid_device* openGpsApplication() {
    for (;;) {
        if (hidport::hid_device* handle =
                hidport::hid_open(kGpsVendorId, kGpsAppProductId, nullptr)) {
            state().firstOpenRefusalMs = -1;
            return handle;
        }
        if (!hidport::lastOpenRefused() || !mayTryAgain()) return nullptr;
        clock().sleepMs(kLateNodePollMs);
    }
}

bool reportPermissionProblem() {
    const std::string node = hidport::lastPermissionDeniedNode();
    if (node.empty()) return false;
    const bool fresh = state().exchangeRefusedNode(node) != node;
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
    state().firstOpenRefusalMs = -1;  // a node that comes back is given its time again
    if (state().exchangeRefusedNode("").empty()) return;
    if (state().statusDetail() == kPermissionDeniedDetail) sendStatus(0, nullptr, "");
}

bool permissionProblemPending() {
    return !state().refusedNode().empty();
}

}  // namespace core
