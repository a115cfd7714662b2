// How quorta-gps-emulator tells the program it starts that the GPS on the
// USB road is its emulated one, so that a build with test images may write
// them there. UMOCKDEV_DIR alone would not do: a user may have it set. The
// emulator hands its child an open memory file of its own name whose
// contents name the testbed, and says which descriptor in the environment;
// nothing on a real desktop has that by accident.
//
// The emulator pulls a cable at a phase of the update, which only the program
// knows: beside the declaration it hands over the write end of a pipe, and
// the program writes the name of each phase it enters there, one a line.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kEmulatedRoadFdVariable = "QUORTA_GPS_EMULATOR_FD";
inline constexpr const char* kEmulatedRoadPhaseFdVariable = "QUORTA_GPS_EMULATOR_PHASE_FD";
inline constexpr const char* kEmulatedRoadMemfdName = "quorta-gps-emulator";

// What the memory file holds for a testbed at `umockdevDir`.
inline std::string emulatedRoadDeclaration(const std::string& umockdevDir) {
    return std::string(kEmulatedRoadMemfdName) + "\n" + umockdevDir + "\n";
}

// True when this process was started by the emulator with its declaration:
// the descriptor is the emulator's memory file, it names the testbed of
// UMOCKDEV_DIR, and umockdev's preload is in place. Closes the descriptor.
bool emulatedRoadDeclared();

// The pipe to the emulator that the phases go down. Writing never blocks and
// never ends the program: a line that does not fit is dropped, and once the
// emulator has closed its end the rest are.
class EmulatorPhasePipe {
  public:
    // The pipe named in the environment, or null when there is none (or the
    // descriptor is not the write end of a pipe). Only for a program whose
    // road emulatedRoadDeclared() accepted: the variable alone says nothing.
    static std::unique_ptr<EmulatorPhasePipe> fromEnvironment();
    explicit EmulatorPhasePipe(int fd);  // takes the descriptor
    ~EmulatorPhasePipe();
    EmulatorPhasePipe(const EmulatorPhasePipe&) = delete;
    EmulatorPhasePipe& operator=(const EmulatorPhasePipe&) = delete;

    // False when the line did not go (the pipe full or closed).
    bool send(std::string_view phaseName);

  private:
    std::mutex mutex_;
    int fd_;
};

}  // namespace platform
