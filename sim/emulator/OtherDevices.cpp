#include "sim/emulator/OtherDevices.h"

#include <filesystem>

#include "sim/emulator/MountTable.h"
#include "sim/emulator/Testbed.h"

namespace emu {

namespace {

// A vendor id of no GPS, for a plain stick.
constexpr uint16_t kStickVendorId = 0x1234;
constexpr uint16_t kStickProductId = 0x5678;

}  // namespace

OtherDevices::OtherDevices(Testbed& testbed, MountTable& mounts, std::string mountFolder)
    : testbed_(testbed), mounts_(mounts), mountFolder_(std::move(mountFolder)) {}

OtherDevices::~OtherDevices() {
    for (auto it = shown_.rbegin(); it != shown_.rend(); ++it) {
        mounts_.setLine(it->slot, "");
        testbed_.remove(it->disk.syspaths, it->place.blockNames());
        testbed_.remove(it->usb.syspaths);
    }
}

bool OtherDevices::addStick(const OtherVolume& volume, std::string* error) {
    UsbIdentity id;
    id.vendorId = kStickVendorId;
    id.productId = kStickProductId;
    id.product = "USB Flash Drive";
    id.serial = "STICK" + std::to_string(shown_.size() + 1);
    return add(id, volume, error);
}

bool OtherDevices::addSecondGps(std::string* error) {
    UsbIdentity id = identityFor(0x2B29, 0x55);
    id.serial = "QG0002";
    return add(id, {"QUORTA", {"Quorta"}}, error);
}

bool OtherDevices::add(const UsbIdentity& identity, const OtherVolume& volume, std::string* error) {
    namespace fs = std::filesystem;
    const unsigned n = static_cast<unsigned>(shown_.size());
    DiskPlace place;
    place.usbDevice = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n + 2);
    place.storageInterface = "1-" + std::to_string(n + 2) + ":1.0";
    place.scsiHost = 7 + n;
    place.name = std::string("sd") + static_cast<char>('c' + n);
    place.minor = 32 + 16 * n;
    DiskLook look;
    look.label = volume.label;
    look.uuid = "ABCD-00" + std::to_string(10 + n);

    std::string name = volume.label.empty() ? "STICK" : volume.label;
    std::error_code ec;
    fs::path point = fs::path(mountFolder_) / name;
    for (int i = 1; fs::exists(point, ec); ++i)
        point = fs::path(mountFolder_) / (name + std::to_string(i));
    fs::create_directories(point, ec);
    for (const std::string& folder : volume.folders) fs::create_directories(point / folder, ec);
    if (ec) {
        if (error) *error = "cannot make " + point.string() + ": " + ec.message();
        return false;
    }

    Shown shown{storageDeviceTree(identity, place), diskTree(look, place), place,
                static_cast<int>(n + 1)};
    if (!testbed_.add(shown.usb.text, error)) return false;
    if (!testbed_.add(shown.disk.text, error)) {
        testbed_.remove(shown.usb.syspaths);
        return false;
    }
    mounts_.setLine(shown.slot, mountInfoLine(point.string(), "vfat", DriveMount::Kernel, false,
                                              place, 9100 + static_cast<int>(n)));
    shown_.push_back(std::move(shown));
    return true;
}

}  // namespace emu
