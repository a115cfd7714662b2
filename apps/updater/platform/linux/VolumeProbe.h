// What the drive search needs to know of a mounted volume, taken from sysfs
// and udev's properties. The functions here only read text they are given or
// files under a sysfs root they are given, so tests feed them fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The file-system name as the GPS's host names it: vfat gives "FAT32" or
// "FAT" (FAT12 and FAT16), exfat "exFAT", ntfs and ntfs3 "NTFS", anything else
// its own name in capitals. `version` is udev's ID_FS_VERSION ("FAT32",
// "FAT16", ...); when it is unknown a FAT volume is told by its cluster count
// (`clusterCount`, 0 when unknown), which is what defines FAT32.
std::string fileSystemName(std::string_view type, std::string_view version,
                           uint64_t clusterCount = 0);

// vfat and its older Linux names.
bool isFatType(std::string_view type);

// The type to name: a FUSE mount of a block device ("fuseblk") says nothing of
// its format, so udev's ID_FS_TYPE is taken there.
std::string effectiveFileSystemType(std::string_view mountType, std::string_view udevType);

// Decodes udev's ID_FS_LABEL_ENC: "\xNN" escapes become bytes (UTF-8 stays
// UTF-8). Control characters are dropped; a malformed escape stays as text.
std::string decodeLabelEnc(std::string_view encoded);

// The label to show: the decoded ID_FS_LABEL_ENC, which keeps spaces and
// non-ASCII characters, else ID_FS_LABEL.
std::string volumeLabel(std::string_view labelEnc, std::string_view label);

// True when a sysfs device path runs through a USB host controller's bus
// ("/usb1/", "/usb2/", ...).
bool pathIsOnUsb(std::string_view sysfsPath);

struct BlockDeviceInfo {
    bool found = false;      // the device is in sysfs
    bool removable = false;  // its disk's "removable" attribute is 1
    bool onUsb = false;      // it is attached through USB
    std::string devicePath;  // canonical sysfs path of the device itself
    std::string diskPath;    // canonical sysfs path of its whole disk
    // The USB device it hangs off: its path below the sysfs root
    // ("/devices/.../usb1/1-1"), vendor id and serial; empty when none.
    std::string usbDevicePath;
    unsigned usbVendorId = 0;
    std::string usbSerial;
};

// Looks the block device major:minor up under `sysRoot` ("/sys"), walking from
// a partition to its disk, and on up to the USB device (the first parent with
// an idVendor) when there is one.
BlockDeviceInfo probeBlockDevice(const std::string& sysRoot, unsigned major, unsigned minor);

// The drive counts as removable when its disk says so or when it hangs off
// USB (USB hard disks and some card readers report 0 but are unplugged all
// the same).
inline bool isRemovableDrive(const BlockDeviceInfo& info) {
    return info.removable || info.onUsb;
}

}  // namespace platform
