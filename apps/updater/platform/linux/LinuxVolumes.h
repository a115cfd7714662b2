// Volumes on Linux: the block-device mounts of /proc/self/mountinfo, with the
// drive's removability from sysfs and the label and format from udev.
#pragma once

#include <functional>
#include <string>

#include "platform/Volumes.h"

namespace platform {

// The udev properties the drive search uses of one block device.
struct VolumeProperties {
    std::string fsType;     // ID_FS_TYPE
    std::string fsVersion;  // ID_FS_VERSION
    std::string label;      // ID_FS_LABEL
    std::string labelEnc;   // ID_FS_LABEL_ENC
};

class LinuxVolumes : public Volumes {
  public:
    using PropertySource = std::function<VolumeProperties(unsigned major, unsigned minor)>;

    // The defaults read this machine; tests pass a fixture mount table, a
    // sysfs tree of their own and a property table.
    LinuxVolumes();
    LinuxVolumes(std::string mountInfoPath, std::string sysRoot, PropertySource properties);

    // Block-device mounts of whole file systems, in mount order, each device
    // once (its first mount). Pseudo file systems and bind mounts of a
    // sub-folder are not volumes.
    bool list(std::vector<VolumeInfo>& out) override;
    // Entries of `root` without following symbolic links: a link to a folder
    // is not a folder.
    bool listRoot(const std::string& root, std::vector<DirEntry>& out) override;

  private:
    std::string mountInfoPath_;
    std::string sysRoot_;
    PropertySource properties_;
};

// The properties of a block device from the udev database; empty fields when
// udev has no record of it (no udev daemon, or not probed yet).
VolumeProperties udevVolumeProperties(unsigned major, unsigned minor);

}  // namespace platform
