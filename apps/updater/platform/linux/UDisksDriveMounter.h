// Mounts the GPS's file system through UDisks2 (Filesystem.Mount, as the user:
// polkit lets the active session do it) when nothing else mounted it, and
// unmounts it again when the program ends. The file systems are found with
// udev: block devices with a file system (ID_FS_TYPE) on a USB device of
// vendor 0x2B29. Whether one is mounted is read from the mount table, as the
// drive search reads it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DriveMounter.h"

namespace platform {

struct GpsFileSystem {
    std::string device;         // "/dev/sdb1"
    uint64_t deviceNumber = 0;  // dev_t
    // Tells one plug-in from the next: a GPS that restarts comes back under
    // the same device number.
    std::string appearance;
};

// The file systems on the GPS's USB devices, from udev. The enumeration does
// not ask for devices udev has finished with: without a udev daemon (or in a
// test bed) there is no udev database, and nothing would be found.
std::vector<GpsFileSystem> gpsFileSystems();

class UDisksDriveMounter : public DriveMounter {
  public:
    using FileSystemSource = std::function<std::vector<GpsFileSystem>()>;

    // `busAddress` empty: the system bus; otherwise a D-Bus address (tests run
    // a mock UDisks2 on a private bus). `fileSystems` and `mountInfoPath`
    // (the mount table) are replaced in tests.
    explicit UDisksDriveMounter(std::string busAddress = {},
                                FileSystemSource fileSystems = &gpsFileSystems,
                                std::string mountInfoPath = "/proc/self/mountinfo");

    std::vector<DriveMountEvent> mountUnmounted() override;
    std::vector<DriveMountEvent> releaseMounts() override;

  private:
    struct Known {
        std::string appearance;
        std::string device;
        bool ours = false;
        std::string objectPath;  // UDisks2's block object, for the unmount
        std::string mountPoint;
    };

    bool isMounted(const GpsFileSystem& fs) const;

    std::string busAddress_;
    FileSystemSource fileSystems_;
    std::string mountInfoPath_;
    std::mutex mutex_;
    std::map<uint64_t, Known> known_;  // by device number
};

}  // namespace platform
