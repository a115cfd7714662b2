// Finding the GPS among the USB devices, telling its three modes apart, and
// reading its device-information record into the shared DeviceRecord.
#pragma once

#include <optional>
#include <string>

#include "core/DeviceRecord.h"

namespace core {

// One pass over the present USB devices (Services::usbDevices): opens the
// recovery dialog for a device in the ROM bootloader, starts the
// bootloader-mode thread for one in the flash bootloader, reads and
// announces one in application mode.
void deviceScan();

// Reads the device information over the command link and fills `record`.
// True for a usable record (also a type without carried firmware, which gets
// a message), false when the device did not answer or named no valid model.
bool readDevice(SharedDeviceRecord& record);
// The same on the program's record.
bool readDevice();

// "Update to 7.63", or "Update to 7.05" for a minor below 10.
std::string updateLabelText(int major, int minor);

// The product id in a hardware id such as "USB\VID_2B29&PID_0055&REV_0100":
// the hexadecimal digits after "PID_". None when "PID_" is missing or no
// digit (or an absurd number of them) follows.
std::optional<int> productIdFromHardwareId(const std::string& hardwareId);

// A flash-bootloader product id: a device type 4..16, or 64..76 for a
// Japanese device.
bool isFlashBootloaderProductId(int productId);

// What the scan says while more than one GPS is plugged in.
inline constexpr const char* kTwoGpsTitle = "Two Quorta GPS devices\nare connected";
inline constexpr const char* kTwoGpsDetail = "Please unplug one of them";

}  // namespace core
