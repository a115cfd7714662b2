// Finding the GPS's USB drive among the mounted volumes, and removing it
// safely before the device is told to use the files put on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace core {

// The root of the GPS volume ("/media/user/QUORTA/"), or none. After one
// second on the clock the removable volumes are listed:
// - the volume on the GPS's own USB device (the one device of vendor 0x2B29,
//   by its device path or serial number) is the GPS's drive, whatever its
//   label; while it is there no other volume is taken;
// - a volume on another USB device is never taken, nor, where udev places
//   drives on USB and the GPS is known, one udev cannot place;
// - of the volumes udev cannot place (no USB parent), one whose label holds
//   "Quorta", "QUORTA" or "quorta"; failing that, after one more second, one
//   on a FAT-family file system with a root folder whose name contains
//   "Quorta". Where two such match, the search says so (log and status) and
//   takes neither: a wrong guess would put the GPS's files on a stick.
// The drive found is remembered as that device for the rest of the run:
// later calls return at once, with the root where it is mounted now when it
// is mounted (a restart may mount it elsewhere), else the last root.
//
// Where nothing mounted the GPS's file system, the search first has it
// mounted through Services::driveMounter, logging what was done or why it
// could not be.
std::optional<std::string> findGpsDrive();

// The GPS's drive where it is mounted now, for work that is about to use it:
// the drive found before is looked up again, waiting up to kDriveReturnMs
// (Clock) for it to be mounted after a restart (having it mounted when
// nothing does). Updates gpsDriveRoot. The last root when it is not mounted
// by then; gpsDriveRoot as it is when no drive was found this run.
std::string currentGpsDriveRoot();

// At the program's end: unmounts what the search mounted, unless the safe
// removal already took it or the GPS has gone.
void releaseGpsDriveMounts();

// Safe removal of the volume mounted at `root`: open it, lock it (20 attempts
// 500 ms apart, then on regardless), dismount, allow removal, eject. Logs
// "Media in Drive %s has been ejected safely.\r\n" or "Media in Drive %s can
// be safely removed.\r\n" with the drive's label (its mount point when it
// has none), or nothing when neither was reached.
void ejectGpsDrive(const std::string& root);

// The match rules, for the search and its tests.
bool labelNamesGps(std::string_view label);
bool folderNamesGps(std::string_view name);
bool isFatFamily(std::string_view fileSystem);

inline constexpr int kLockAttempts = 20;
inline constexpr int kLockRetryMs = 500;
inline constexpr int kDriveReturnMs = 15000;
inline constexpr int kDriveReturnPollMs = 500;

inline constexpr const char* kAmbiguousDriveTitle = "Can not tell which drive\nis the GPS";
inline constexpr const char* kAmbiguousDriveDetail =
    "Please remove other USB drives\nand cards, then plug the GPS in again";

}  // namespace core
