// The mount table the testbed's programs read. umockdev does not emulate
// the kernel's; its preload serves $UMOCKDEV_DIR/proc/self/mountinfo in place
// of /proc/self/mountinfo, and that file is the computer's own table with the
// emulated drive's mount added while it is mounted.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "sim/emulator/DeviceTrees.h"

namespace emu {

class Testbed;

// How the drive is mounted, as the mount table shows it.
enum class DriveMount {
    Kernel,  // its own file-system type on the partition's number (8:17)
    Fuse,    // "fuseblk" on an anonymous number, the partition named as source
};

// One line of mountinfo: the file system of the disk at `place` (its
// partition 1, /dev/sdb1 by default) of type `fsType` mounted at
// `mountPoint` (escaped as the kernel escapes it), read-write or read-only.
// `mountId` tells one mount from another.
std::string mountInfoLine(const std::string& mountPoint, const std::string& fsType, DriveMount how,
                          bool readOnly = false, const DiskPlace& place = {}, int mountId = 9001);

class MountTable {
  public:
    // Takes the computer's table as it is now, before it is served.
    explicit MountTable(Testbed& testbed);
    // The drive's line; empty: not mounted.
    bool setDriveLine(const std::string& line) { return setLine(0, line); }
    // Any mount's line by a number of the caller's (the drive is 0; lines
    // follow in that order); empty: not mounted.
    bool setLine(int slot, const std::string& line);

  private:
    Testbed& testbed_;
    std::string base_;
    std::map<int, std::string> lines_;
    std::mutex mutex_;
};

}  // namespace emu
