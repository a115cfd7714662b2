// The present USB devices from udev, each as a hardware id text
// "USB\VID_2B29&PID_0055&REV_0100" so that the scan's substring rules hold.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/UsbDeviceList.h"

namespace platform {

// Builds the hardware id from sysfs's idVendor, idProduct and bcdDevice texts
// ("2b29", "0055", "0100"; a trailing newline is allowed): upper-case hex, four
// digits each. "" when any of them is not 1 to 4 hex digits.
std::string hardwareIdText(std::string_view idVendor, std::string_view idProduct,
                           std::string_view bcdDevice);

class LinuxUsbDeviceList : public UsbDeviceList {
  public:
    // Every USB device (not its interfaces) that sysfs shows, in udev's order;
    // empty when there are none or udev cannot be reached.
    std::vector<std::string> hardwareIds() override;
    // The same, each with its udev device path and serial number.
    std::vector<UsbDevice> devices() override;
};

}  // namespace platform
