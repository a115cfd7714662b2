// The command line of quorta-updater, and what its front ends are given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class DeviceEvents;
class InstanceLock;
}  // namespace platform

namespace core {

struct ProgramOptions {
    bool cli = false;       // the terminal front end instead of the window
    bool scanOnce = false;  // scan, print what was found, end
    bool help = false;
    bool version = false;
    std::optional<std::string> logFile;  // every log line also goes here
    // Terminal front end only.
    bool yes = false;     // answer Yes/OK, except questions that only open a web page
    bool update = false;  // press the action button when it offers an update
    // Menu commands, in the order given on the command line.
    std::vector<int> menuCommands;
    // Simulation: the GPS as TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom],
    // its radio build, its drive, its faults, when a pulled cable goes back
    // in, and the time scale of every wait. The texts are checked where the
    // simulated GPS is set up.
    std::optional<std::string> simulate;
    std::optional<int32_t> simulateRadioBuild;
    std::optional<std::string> simulateDrive;
    std::optional<std::string> simulateFault;
    std::optional<std::string> simulateReplug;
    std::optional<double> timeScale;
    // Device traces: every exchange with the GPS written to this file, or
    // read from it in place of a GPS.
    std::optional<std::string> recordTrace;
    std::optional<std::string> replayTrace;
};

// Parses argv[1..]. None, with `error` set, for a command line that cannot
// be used.
std::optional<ProgramOptions> parseProgramOptions(const std::vector<std::string>& args,
                                                  std::string* error);

// The --help text.
const char* programUsage();

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTraceDiffers = 3;  // a replay met a difference

// What the program hands its front end.
struct FrontEndContext {
    ProgramOptions options;
    platform::InstanceLock* lock = nullptr;
    std::string lockName;
    platform::DeviceEvents* events = nullptr;  // null: no device events
    bool simulated = false;
};

}  // namespace core
