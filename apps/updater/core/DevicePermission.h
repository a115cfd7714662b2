// A GPS on the bus that this user may not open: what a Linux desktop without
// our udev rules shows. Without a word the user would only see the updater
// wait for a device that is plugged in; these tell them how to fix it.
#pragma once

namespace core {

// The window's detail text while the GPS cannot be opened for lack of
// permission.
inline constexpr const char* kPermissionDeniedDetail =
    "No permission to open the GPS.\nInstall the udev rules, then unplug the GPS and plug it in "
    "again.";

// Call after an open of the GPS failed. When the last open failed for lack
// of permission: logs the node and the fix, once per node until none of our
// devices is on the bus, and puts kPermissionDeniedDetail in the window's
// detail text. True when it did.
bool reportPermissionProblem();

// None of our devices is on the bus any more: the advice goes from the
// window, and a device that comes back denied is logged again.
void forgetPermissionProblem();

// True while a GPS that this user may not open is on the bus: the window's
// refresh keeps the advice in view instead of the plain "connect" text.
bool permissionProblemPending();

}  // namespace core
