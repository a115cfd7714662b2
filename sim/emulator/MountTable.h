// The mount table the testbed's programs read. umockdev does not emulate
// the kernel's; its preload serves $UMOCKDEV_DIR/proc/self/mountinfo in place
// of /proc/self/mountinfo, and that file is the computer's own table with the
// emulated drive's mount added while it is mounted.
#pragma once

#include <mutex>
#include <string>

namespace emu {

class Testbed;

// How the drive is mounted, as the mount table shows it.
enum class DriveMount {
    Kernel,  // its own file-system type on the partition's number (8:17)
    Fuse,    // "fuseblk" on an anonymous number, the partition named as source
};

// One line of mountinfo: the partition /dev/sdb1 of type `fsType` mounted
// at `mountPoint` (escaped as the kernel escapes it), read-write or read-only.
std::string mountInfoLine(const std::string& mountPoint, const std::string& fsType, DriveMount how,
                          bool readOnly = false);

class MountTable {
  public:
    // Takes the computer's table as it is now, before it is served.
    explicit MountTable(Testbed& testbed);
    // The drive's line; empty: not mounted.
    bool setDriveLine(const std::string& line);

  private:
    Testbed& testbed_;
    std::string base_;
    std::mutex mutex_;
};

}  // namespace emu
