#include "sim/SimulatedUsbDeviceList.h"

#include <algorithm>

#include "sim/SimulatedGps.h"

namespace sim {

void SimulatedUsbDeviceList::addGps(const SimulatedGps* gps) {
    std::lock_guard lock(mutex_);
    entries_.push_back({gps, {}});
}

void SimulatedUsbDeviceList::removeGps(const SimulatedGps* gps) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [gps](const Entry& e) { return e.gps == gps; });
}

void SimulatedUsbDeviceList::addDevice(std::string hardwareId, std::string path) {
    std::lock_guard lock(mutex_);
    entries_.push_back({nullptr, {std::move(hardwareId), std::move(path), {}}});
}

std::vector<std::string> SimulatedUsbDeviceList::hardwareIds() {
    std::vector<std::string> ids;
    for (platform::UsbDevice& d : devices()) ids.push_back(std::move(d.hardwareId));
    return ids;
}

std::vector<platform::UsbDevice> SimulatedUsbDeviceList::devices() {
    std::lock_guard lock(mutex_);
    std::vector<platform::UsbDevice> out;
    for (const Entry& e : entries_) {
        if (!e.gps) {
            out.push_back(e.device);
        } else if (platform::UsbDevice d = e.gps->usbDevice(); !d.hardwareId.empty()) {
            out.push_back(std::move(d));  // an unplugged GPS is not listed
        }
    }
    return out;
}

}  // namespace sim
