// The points of an update where the cable can be pulled: the device's own
// steps, and the updater's (a phase it enters, for the steps only the computer
// takes: the backup, the copies to the drive, the restore). The fault
// matrix runs the update through every one of them; --simulate-fault=unplug@NAME
// picks one by the same name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/UpdatePhase.h"
#include "sim/SimulatedGps.h"

namespace sim {

struct UnplugPoint {
    std::string name;  // "BeforeErase", "Write50", ...
    // A device step; for the write, the share of its data packets the device
    // takes before it drops off (0: the command, no data).
    std::optional<GpsStep> step;
    int writePercent = -1;
    // Or a phase of the updater's own, pulled as the updater enters it (in
    // its process, or told by it through a pipe when the emulator runs it).
    std::optional<core::UpdatePhase> phase;
    std::string what;  // one line for a user: when the cable comes out
};

// Every point, in the order an update meets them.
const std::vector<UnplugPoint>& unplugPoints();

// The name on the command line: "write-50" for "Write50",
// "before-erase" for "BeforeErase".
std::string unplugOptionName(const UnplugPoint& point);

// True when entering `entered` is the point's moment.
bool unplugPhaseMatches(const UnplugPoint& point, core::UpdatePhase entered);

}  // namespace sim
