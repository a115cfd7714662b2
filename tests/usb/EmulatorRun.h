// Runs a program under quorta-gps-emulator, as a user would from a shell:
// the shipped quorta-updater and quorta-bl on the emulated USB road.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "RunProgram.h"

namespace usb_testing {

struct EmulatorRun {
    int exitCode = -1;   // -1: it did not end in time
    std::string out;     // the program's standard output
    std::string err;     // the program's and the emulator's standard error
    std::string report;  // what the emulator's --report wrote of the GPS
};

class Emulator {
  public:
    Emulator();   // private folders for the program (runtime, cache) and the report
    ~Emulator();  // removes them

    // quorta-gps-emulator EMULATOR_ARGS --report=... -- PROGRAM_ARGS
    EmulatorRun run(const std::vector<std::string>& emulatorArgs,
                    const std::vector<std::string>& programArgs, const std::string& input = "",
                    int timeoutSeconds = 180);

    // The same program without the emulator (with --simulate, say), for
    // comparing the two roads.
    EmulatorRun runDirectly(const std::vector<std::string>& programArgs,
                            const std::string& input = "", int timeoutSeconds = 180);

    // A folder of the private area, made on first use.
    std::string folder(const std::string& name);
    // Hands the private area to this user (for a program run as another).
    void giveTo(uid_t uid, gid_t gid);

  private:
    EmulatorRun execute(std::vector<std::string> args, const std::string& input,
                        int timeoutSeconds);
    std::string base_;
};

// Why the usb cases cannot run here, or nothing.
std::optional<std::string> whyNotRunnable();

inline constexpr const char* kUpdater = QUORTA_UPDATER_PATH;
inline constexpr const char* kBootloaderTool = QUORTA_BL_PATH;

using cli_testing::inOrder;

}  // namespace usb_testing
