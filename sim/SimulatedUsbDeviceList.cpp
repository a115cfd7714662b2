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

void SimulatedUsbDeviceList::addDevice(std::string hardwareId) {
    std::lock_guard lock(mutex_);
    entries_.push_back({nullptr, std::move(hardwareId)});
}

std::vector<std::string> SimulatedUsbDeviceList::hardwareIds() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const Entry& e : entries_) {
        if (!e.gps) {
            ids.push_back(e.id);
        } else if (std::string id = e.gps->hardwareId(); !id.empty()) {
            ids.push_back(std::move(id));  // an unplugged GPS is not listed
        }
    }
    return ids;
}

}  // namespace sim
