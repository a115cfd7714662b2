// The simulated GPS as a user asks for it on a command line: its model, the
// mode it starts in, its drive and its faults. Every program that runs the
// simulated GPS (quorta-updater, quorta-bl) parses its options here, so they
// take the same words and give the same errors:
//
//   --simulate=TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]
//   --simulate-drive=DIR|none
//   --simulate-fault=NAME[,NAME...]   (help: simulationFaultHelp)
//   --simulate-replug=SECONDS|never
//
// parseSimulation turns the option texts into a SimulationConfig (or one line
// of error); the GPS is built from its GpsConfig, and applySimulation then
// sets the rest on it and plugs it in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/BootloaderTarget.h"
#include "sim/SimulatedGps.h"
#include "sim/UnplugPoints.h"

namespace sim {

// The option values as given (after the "="); unset: the option was not given.
struct SimulationArgs {
    std::optional<std::string> simulate{};  // TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]
    std::optional<std::string> drive{};     // DIR | none
    std::optional<std::string> faults{};    // NAME[,NAME...]
    std::optional<std::string> replug{};    // SECONDS | never
};

// What the program reaches of the GPS.
struct SimulationUse {
    // The whole GPS (quorta-updater), or only its bootloaders (quorta-bl):
    // there the GPS starts in its flash bootloader, "app" and the faults of
    // the application and the drive do not apply, and a TYPE of 64 to 76
    // names a Japanese device by its flash bootloader's product id (a plain
    // type is standard unless :jp says otherwise).
    bool bootloaderOnly = false;
};

inline constexpr int64_t kDefaultReplugMs = 4000;

struct SimulationConfig {
    // What the GPS is built with: type, variant, version, the faults of the
    // application and its drive. An empty driveFolder: a fresh one.
    GpsConfig gps;
    GpsMode startMode = GpsMode::Application;
    // The faults of both bootloaders (the open failures of the flash
    // bootloader are in gps.faults, as they come back each time it shows).
    BootloaderFaults bootloaderFaults;
    int romOpenFailures = 0;
    // Where the cable is pulled, and when it goes back in (negative: never).
    std::optional<UnplugPoint> unplug;
    int64_t replugAfterMs = kDefaultReplugMs;
};

// None, with `error` set to one line naming the option and the word that is
// wrong, for values that cannot be used (and for --simulate-drive,
// --simulate-fault or --simulate-replug without --simulate).
std::optional<SimulationConfig> parseSimulation(const SimulationArgs& args, std::string* error,
                                                const SimulationUse& use = {});

// True for --simulate-fault=help.
bool wantsFaultHelp(const SimulationArgs& args);
// Every fault name with one line of what it does.
std::string simulationFaultHelp(const SimulationUse& use = {});

// Called with each phase the updater enters: in its own process, or from
// the emulator, which the updater tells its phases.
using HostPhaseHook = std::function<void(core::UpdatePhase entered)>;

// The cable of a GPS that waits for a step of the updater's own; empty when
// it waits for none. May be called from any thread while the GPS lives.
struct CablePuller {
    HostPhaseHook onPhase;
};

// Sets the faults and the cable plan on `gps` (built from config.gps) and
// plugs it in in the start mode.
CablePuller applySimulation(const SimulationConfig& config, SimulatedGps& gps);

}  // namespace sim
