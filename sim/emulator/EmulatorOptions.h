// quorta-gps-emulator's command line: what it takes, and what it was given.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/SimulationOptions.h"
#include "sim/emulator/OtherDevices.h"

namespace emu {

// --help.
extern const char kEmulatorUsage[];

struct EmulatorOptions {
    sim::SimulationArgs simulation;
    sim::SimulationConfig config;
    bool faultHelp = false;
    std::optional<double> timeScale;
    bool exfatFuse = false;
    std::optional<std::string> driveLabel;
    mode_t hidrawMode = 0666;
    double hidrawLateSeconds = 0;
    bool hidrawLateAccess = false;
    bool driveReadOnly = false;
    bool unpartitionedDrive = false;
    bool remountMoves = false;
    double remountLateSeconds = 0;
    std::vector<emu::OtherVolume> sticks;
    bool secondGps = false;
    bool udevDaemon = false;
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    std::string report;
    bool asRealGps = false;
    std::vector<std::string> command;
};

// Empty when the command line is usable, otherwise why not. `help` is set
// for --help, and o.faultHelp for --simulate-fault=help; the rest is then
// not checked.
std::string parseEmulatorOptions(int argc, char** argv, EmulatorOptions& o, bool& help);

}  // namespace emu
