// The present USB devices, as the scan sees them: one hardware id text per
// device, shaped "USB\VID_2B29&PID_0055&REV_0100" so that the scan's substring
// rules hold on every platform.
#pragma once

#include <string>
#include <vector>

namespace platform {

// One present USB device: its hardware id, and where it is plugged in, so
// that its other parts (its drive) can be told from another device's.
struct UsbDevice {
    std::string hardwareId;
    std::string path;    // its device path ("/devices/.../usb1/1-1"), "" when unknown
    std::string serial;  // its serial number, "" when it has none
};

class UsbDeviceList {
  public:
    virtual ~UsbDeviceList() = default;
    // In enumeration order. A device whose id cannot be read gives "".
    virtual std::vector<std::string> hardwareIds() = 0;
    // The same devices with where they are plugged in; a list that cannot
    // tell gives the ids alone.
    virtual std::vector<UsbDevice> devices() {
        std::vector<UsbDevice> out;
        for (std::string& id : hardwareIds()) out.push_back({std::move(id), {}, {}});
        return out;
    }
};

}  // namespace platform
