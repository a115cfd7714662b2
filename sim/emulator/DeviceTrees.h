// The sysfs trees of the emulated GPS, as umockdev's text format describes
// them: what libudev, hidapi and our own scan read of a real one.
//
// The GPS is one USB device (bus 1, port 1). In application mode it has two
// interfaces: HID (the command link, 64-byte reports without report ids)
// and mass storage (its drive). Its bootloaders have the HID interface alone,
// with 36-byte numbered reports: ids 1 and 2 out, 3 and 4 in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct UsbIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool numberedReports = false;  // the bootloaders' reports carry their id
    bool massStorage = false;      // the application's drive interface
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// What a GPS shows under these ids: the application (0x2B29 / 0x55), its
// flash bootloader (0x2B29 / type or type + 60), the ROM bootloader
// (0x15A2 / 0x73).
UsbIdentity identityFor(uint16_t vendorId, uint16_t productId);

// The report descriptor of each kind: vendor usage page, one collection.
std::vector<uint8_t> reportDescriptor(bool numberedReports);

// A tree for umockdev_testbed_add_from_string (parents first, but for a
// disk's partitions) and the sysfs paths of its devices, parents first.
struct DeviceTree {
    std::string text;
    std::vector<std::string> syspaths;
};

// Sysfs path of the USB device itself ("/sys/devices/...").
std::string usbDeviceSyspath();

// The USB device, its interfaces, the hid device (numbered `hidSequence` as
// the kernel numbers them, 0003:VID:PID.000N) and its hidraw node, whose
// char device number is `devMajor`:`devMinor`.
DeviceTree hidDeviceTree(const UsbIdentity& identity, unsigned hidSequence,
                         const std::string& hidrawName, unsigned devMajor, unsigned devMinor);
// The hidraw node's sysfs path within hidDeviceTree.
std::string hidrawSyspath(const UsbIdentity& identity, unsigned hidSequence,
                          const std::string& hidrawName);

// How the drive's file system shows itself to udev.
struct DiskLook {
    std::string fsType = "vfat";      // ID_FS_TYPE
    std::string fsVersion = "FAT32";  // ID_FS_VERSION
    std::string label;                // ID_FS_LABEL, may be empty
    std::string uuid = "5155-4F52";
};

// Where a disk is: behind which USB device's mass-storage interface, on
// which SCSI host, under which name, and whether it has a partition table
// (its file system on partition 1) or carries its file system itself.
struct DiskPlace {
    std::string usbDevice = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    std::string storageInterface = "1-1:1.1";
    unsigned scsiHost = 6;
    std::string name = "sdb";
    unsigned minor = 16;  // of the whole disk; partition 1 is minor + 1
    bool partitioned = true;

    // The device that holds the file system: "/dev/sdb1" (or "/dev/sdb").
    std::string fileSystemNode() const;
    // Its number, "8:17" (or "8:16").
    std::string fileSystemDev() const;
    // Names under /sys/block that the testbed links and does not remove itself.
    std::vector<std::string> blockNames() const;
};

// The drive behind the mass-storage interface: SCSI host, target, device,
// the removable disk and (when partitioned) its partition.
DeviceTree diskTree(const DiskLook& look, const DiskPlace& place = {});
inline constexpr unsigned kDiskMajor = 8;

// Another USB device with a mass-storage interface alone (a stick, a card
// reader, another GPS's drive side): its usb_device and interface, at
// `place.usbDevice`, interface `place.storageInterface`.
DeviceTree storageDeviceTree(const UsbIdentity& identity, const DiskPlace& place);

// udev's encoding of a label (ID_FS_LABEL_ENC): anything but letters,
// digits and a few marks as \xNN.
std::string encodeLabel(const std::string& label);

}  // namespace emu
