// A GPS on the bus that this user may not open: what a Linux desktop without
// our udev rules shows. Without a word the user would only see the updater
// wait for a device that is plugged in; these tell them how to fix it.
#pragma once

#include <cstdint>

#include "hidport/hidport.h"

namespace core {

// Opens the GPS's application (the command link's device). udev gives a new
// hidraw node its owner and mode a moment after the node exists, later on a
// busy machine: an open refused by a node that is there (permission denied,
// busy, not made yet) is tried again, every kLateNodePollMs, until
// kLateNodeWaitMs on the clock have passed since the first refusal. The time
// is counted from the first refusal after a successful open or after none of
// our devices was on the bus (forgetPermissionProblem), so a node that keeps
// refusing costs it once, and the permission advice comes only when it is
// up. Null when it did not open.
hidport::hid_device* openGpsApplication();

inline constexpr int64_t kLateNodeWaitMs = 5000;
inline constexpr int64_t kLateNodePollMs = 250;

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
