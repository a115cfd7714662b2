// Mounting the GPS's drive where nothing else did: without a desktop
// automounter (a window manager alone, a session over SSH) the drive is
// present but has no mount point, and the drive search cannot see it.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct DriveMountEvent {
    enum class Kind {
        Mounted,        // we mounted `device` at `mountPoint`
        Refused,        // `device` could not be mounted: `reason`
        Unmounted,      // we gave back our mount of `device` at `mountPoint`
        UnmountFailed,  // our mount of `device` at `mountPoint` stays: `reason`
    };
    Kind kind = Kind::Mounted;
    std::string device;  // "/dev/sdb1"
    std::string mountPoint;
    std::string reason;
};

class DriveMounter {
  public:
    virtual ~DriveMounter() = default;
    // Mounts each file system on the GPS that is present but mounted nowhere.
    // A file system is tried once while it stays present: one that was
    // refused, or that somebody unmounted (the safe removal), is left alone
    // until the GPS brings it again. Returns what was done; nothing when
    // there was nothing to do.
    virtual std::vector<DriveMountEvent> mountUnmounted() = 0;
    // Unmounts what mountUnmounted() mounted and is mounted still; a drive
    // the safe removal already took, or that has gone, is skipped.
    virtual std::vector<DriveMountEvent> releaseMounts() = 0;
};

}  // namespace platform
