// How quorta-gps-emulator tells the program it starts that the GPS on the
// USB road is its emulated one, so that a build with test images may write
// them there. UMOCKDEV_DIR alone would not do: a user may have it set. The
// emulator hands its child an open memory file of its own name whose
// contents name the testbed, and says which descriptor in the environment;
// nothing on a real desktop has that by accident.
#pragma once

#include <string>

namespace platform {

inline constexpr const char* kEmulatedRoadFdVariable = "QUORTA_GPS_EMULATOR_FD";
inline constexpr const char* kEmulatedRoadMemfdName = "quorta-gps-emulator";

// What the memory file holds for a testbed at `umockdevDir`.
inline std::string emulatedRoadDeclaration(const std::string& umockdevDir) {
    return std::string(kEmulatedRoadMemfdName) + "\n" + umockdevDir + "\n";
}

// True when this process was started by the emulator with its declaration:
// the descriptor is the emulator's memory file, it names the testbed of
// UMOCKDEV_DIR, and umockdev's preload is in place. Closes the descriptor.
bool emulatedRoadDeclared();

}  // namespace platform
