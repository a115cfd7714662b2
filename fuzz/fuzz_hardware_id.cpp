// The USB identities the scan reads: the hardware id text built from sysfs's
// idVendor, idProduct and bcdDevice, and the product id the scan takes back
// out of any hardware id text.
//
// Input: three texts separated by NUL bytes; the whole input is also read as
// one hardware id.
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "core/DeviceScan.h"
#include "platform/linux/LinuxUsbDeviceList.h"

using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    if (std::optional<int> pid = core::productIdFromHardwareId(whole)) {
        check(*pid >= 0 && *pid <= 0xFFFF);
    }

    std::vector<std::string> parts = fuzzing::splitOnNul(data, size);
    parts.resize(3);
    const std::string id = platform::hardwareIdText(parts[0], parts[1], parts[2]);
    if (id.empty()) return 0;
    // USB\VID_xxxx&PID_xxxx&REV_xxxx, and the scan reads the product id back.
    check(id.size() == 30 && id.starts_with("USB\\VID_") && id.substr(12, 5) == "&PID_");
    const std::optional<int> pid = core::productIdFromHardwareId(id);
    check(pid.has_value());
    check(*pid == std::stoi(id.substr(17, 4), nullptr, 16));
    return 0;
}
