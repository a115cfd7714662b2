// Finding the GPS's USB drive among the mounted volumes, and removing it
// safely before the device is told to use the files put on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace core {

// The root of the GPS volume ("/media/user/QUORTA/"), or none. A label pass
// (after one second on the clock) looks for "Quorta", "QUORTA" or "quorta" in
// the label of a removable volume; failing that, a folder pass (after one
// more second) looks for a root folder whose name contains "Quorta" on a
// removable FAT-family volume. In both passes a later match replaces an
// earlier one. The first success is remembered for the rest of the run and
// returned at once from then on.
//
// Where nothing mounted the GPS's file system, the search first has it
// mounted through Services::driveMounter, logging what was done or why it
// could not be.
std::optional<std::string> findGpsDrive();

// At the program's end: unmounts what the search mounted, unless the safe
// removal already took it or the GPS has gone.
void releaseGpsDriveMounts();

// Safe removal of the volume mounted at `root`: open it, lock it (20 attempts
// 500 ms apart, then on regardless), dismount, allow removal, eject. Logs
// "Media in Drive %c has been ejected safely.\r\n" or "Media in Drive %c can
// be safely removed.\r\n" with the root's first character, or nothing when
// neither was reached.
void ejectGpsDrive(const std::string& root);

// The match rules, for the search and its tests.
bool labelNamesGps(std::string_view label);
bool folderNamesGps(std::string_view name);
bool isFatFamily(std::string_view fileSystem);

inline constexpr int kLockAttempts = 20;
inline constexpr int kLockRetryMs = 500;

}  // namespace core
