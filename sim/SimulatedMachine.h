// A simulated computer with simulated GPSes plugged in: what a program
// started with --simulate, and every test against the device, sets up. It
// switches hidport to its simulated backend and owns the USB device list,
// the volumes, the ejector, the device-change notifications its GPSes raise,
// and a private folder for the GPS drives.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "sim/SimulatedDeviceEvents.h"
#include "sim/SimulatedGps.h"
#include "sim/SimulatedUsbDeviceList.h"
#include "sim/SimulatedVolumes.h"

namespace sim {

class SimulatedMachine {
  public:
    // The clock every simulated wait goes through (the shared one when null).
    explicit SimulatedMachine(platform::Clock* clock = nullptr);
    ~SimulatedMachine();
    SimulatedMachine(const SimulatedMachine&) = delete;
    SimulatedMachine& operator=(const SimulatedMachine&) = delete;

    // Adds a GPS (not yet plugged in). Its drive folder is made inside the
    // machine's private folder unless the config names one. Its events go to
    // deviceEvents().
    SimulatedGps& addGps(GpsConfig config);

    SimulatedUsbDeviceList& usbDevices() { return usb_; }
    SimulatedVolumes& volumes() { return volumes_; }
    SimulatedVolumeEjector& ejector() { return ejector_; }
    // What the program's window listens to: start() it with the sink.
    SimulatedDeviceEvents& deviceEvents() { return events_; }
    // The machine's private folder (removed with the machine).
    const std::string& folder() const { return folder_; }

  private:
    platform::Clock* clock_;
    std::string folder_;
    SimulatedDeviceEvents events_;  // outlives the GPSes, which raise into it
    SimulatedUsbDeviceList usb_;
    SimulatedVolumes volumes_;
    SimulatedVolumeEjector ejector_{volumes_};
    std::vector<std::unique_ptr<SimulatedGps>> gpses_;
};

}  // namespace sim
