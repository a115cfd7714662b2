// Mounted volumes, with what the drive search needs of each.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct VolumeInfo {
    std::string root;        // mount point with a trailing "/"
    bool removable = false;  // the drive type is "removable"
    std::string label;       // volume label, "" when none
    // Named as the GPS's host names it: "FAT32", "FAT", "exFAT", "NTFS", ...
    std::string fileSystem;
    // The block device behind it ("8:17"), "" when unknown.
    std::string device;
    // The USB device it belongs to (as UsbDevice::path names it), with that
    // device's vendor id and serial number; empty when it is not on USB or
    // that cannot be told.
    std::string usbDevice;
    unsigned usbVendorId = 0;
    std::string usbSerial;
    // Mounted read-only (by its options, or by the kernel after an error).
    bool readOnly = false;
};

struct DirEntry {
    std::string name;
    bool isDirectory = false;
};

class Volumes {
  public:
    virtual ~Volumes() = default;
    // All volumes in a stable order; false when the list cannot be had.
    virtual bool list(std::vector<VolumeInfo>& out) = 0;
    // Entries of a volume's root folder (no "." or ".."); false when unreadable.
    virtual bool listRoot(const std::string& root, std::vector<DirEntry>& out) = 0;
};

}  // namespace platform
