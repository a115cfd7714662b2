// One-shot maintenance commands to the running GPS: restore factory defaults,
// and erase the bonding keys its Nordic radio keeps.
#pragma once

namespace core {

// True when the command was written to the device, false when it could not
// be opened. No answer is read: the GPS restarts and arrives again.
bool factoryReset();

// False when the device could not be opened. Otherwise sends the command,
// clears deviceRadioBuild, and logs what the GPS sends back until ten
// counted reads have passed (an empty read counts twice) or the device is
// gone; then closes the device. True when the command was sent.
bool eraseNordicKeys();

inline constexpr int kEraseKeysReadLimit = 10;

}  // namespace core
