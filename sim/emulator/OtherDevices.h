// USB devices beside the GPS on the emulated computer, for the drive search's
// sake: removable volumes that are not the GPS's (a stick, a card reader),
// and a second GPS. They stay plugged in for the whole run.
#pragma once

#include <string>
#include <vector>

#include "sim/emulator/DeviceTrees.h"

namespace emu {

class MountTable;
class Testbed;

struct OtherVolume {
    std::string label;                 // "" for none
    std::vector<std::string> folders;  // made in its root
};

class OtherDevices {
  public:
    // Volumes are mounted at `mountFolder`/<label> (or STICK, STICK1, ...).
    OtherDevices(Testbed& testbed, MountTable& mounts, std::string mountFolder);
    ~OtherDevices();  // takes them away again
    OtherDevices(const OtherDevices&) = delete;
    OtherDevices& operator=(const OtherDevices&) = delete;

    // A stick of another maker, on a port of its own, mounted after the
    // GPS's drive in the mount table.
    bool addStick(const OtherVolume& volume, std::string* error);
    // A second GPS in application mode, on a port of its own, with another
    // serial number and its drive (labelled QUORTA, holding a Quorta
    // folder). Only its USB device and drive are shown: it does not answer
    // over HID.
    bool addSecondGps(std::string* error);

  private:
    bool add(const UsbIdentity& identity, const OtherVolume& volume, std::string* error);

    Testbed& testbed_;
    MountTable& mounts_;
    const std::string mountFolder_;
    struct Shown {
        DeviceTree usb;
        DeviceTree disk;
        DiskPlace place;
        int slot;
    };
    std::vector<Shown> shown_;
};

}  // namespace emu
