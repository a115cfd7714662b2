// The GPS's drive checked before anything is written to it. A drive mounted
// read-only (by its options, or by the kernel after an error on it) would
// otherwise take the backup's factory reset and then refuse the restore, or
// refuse the radio file after the firmware was changed.
#pragma once

#include <string>

namespace core {

inline constexpr const char* kDriveNotWritableTitle = "Error\nCannot write to the GPS drive.";

// True when the volume at `root` is mounted read-write and takes a test file
// (empty: what it checks is that the drive takes a new file at all), which is
// removed again. Otherwise logs why, shows `title` with the
// reason and what to do (and `note` as one more line when given), and returns
// false: the caller changes nothing on the GPS.
bool checkDriveWritable(const std::string& root, const char* title = kDriveNotWritableTitle,
                        const std::string& note = {});

inline constexpr const char* kDriveReadOnlyReason = "Its drive is mounted read-only.";
inline constexpr const char* kDriveNotWritableAdvice =
    "Nothing was written to the GPS. Unplug it and plug it in again; if its drive stays "
    "read-only, have it checked for errors.";

// The test file's name in the drive's root.
inline constexpr const char* kDriveTestFileName = ".quorta-write-test";

}  // namespace core
