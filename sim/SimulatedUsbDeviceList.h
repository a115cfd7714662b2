// The USB devices of a simulated computer: simulated GPSes, whose identity
// follows their mode, among other devices that are only a hardware id.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/UsbDeviceList.h"

namespace sim {

class SimulatedGps;

class SimulatedUsbDeviceList : public platform::UsbDeviceList {
  public:
    // The GPS must outlive this list (or be removed first).
    void addGps(const SimulatedGps* gps);
    void removeGps(const SimulatedGps* gps);
    // Some other device, listed with this id ("" for one whose id cannot be
    // read), plugged in at `path` when given.
    void addDevice(std::string hardwareId, std::string path = {});

    std::vector<std::string> hardwareIds() override;
    std::vector<platform::UsbDevice> devices() override;

  private:
    struct Entry {
        const SimulatedGps* gps = nullptr;
        platform::UsbDevice device;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace sim
