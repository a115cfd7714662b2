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
    // Or a phase of the updater's own, pulled as the updater enters it.
    std::optional<core::UpdatePhase> phase;
    // The same moment as the updater prints it: a log line (exact, or its
    // start when `prefix`), a status title or a status detail. Only for a
    // program that sees the updater from outside, through its output (the
    // emulator runs it as another process).
    std::string text;
    bool prefix = false;
    std::string what;  // one line for a user: when the cable comes out
};

// Every point, in the order an update meets them.
const std::vector<UnplugPoint>& unplugPoints();

// The name on the command line: "write-50" for "Write50",
// "before-erase" for "BeforeErase".
std::string unplugOptionName(const UnplugPoint& point);

// True when the text matches the point's (a point at a device step matches
// nothing).
bool unplugTextMatches(const UnplugPoint& point, const std::string& seen);
// True when entering `entered` is the point's moment.
bool unplugPhaseMatches(const UnplugPoint& point, core::UpdatePhase entered);

}  // namespace sim
