// The present USB devices, as the scan sees them: one hardware id text per
// device, shaped "USB\VID_2B29&PID_0055&REV_0100" so that the scan's substring
// rules hold on every platform.
#pragma once

#include <string>
#include <vector>

namespace platform {

class UsbDeviceList {
public:
    virtual ~UsbDeviceList() = default;
    // In enumeration order. A device whose id cannot be read gives "".
    virtual std::vector<std::string> hardwareIds() = 0;
};

}  // namespace platform
