#include "sim/SimulatedMachine.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "hidport/hidport.h"

namespace sim {

namespace {

std::string makePrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorta-sim-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a folder for the simulated GPS drive");
    return buffer.data();
}

}  // namespace

SimulatedMachine::SimulatedMachine(platform::Clock* clock)
    : clock_(clock), folder_(makePrivateFolder()) {
    hidport::setBackend(hidport::Backend::Simulated);
}

SimulatedMachine::~SimulatedMachine() {
    // No handler may be running against a GPS that is going away.
    events_.stop();
    for (auto& gps : gpses_) {
        usb_.removeGps(gps.get());
        volumes_.removeGps(gps.get());
    }
    gpses_.clear();  // unplugs them, taking them out of hidport
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

SimulatedGps& SimulatedMachine::addGps(GpsConfig config) {
    if (config.driveFolder.empty()) {
        config.driveFolder = folder_ + "/gps" + std::to_string(gpses_.size() + 1);
    }
    // Each GPS on a port of its own, with a serial number of its own.
    if (!gpses_.empty() && config.usbPath == GpsConfig{}.usbPath) {
        const std::string n = std::to_string(gpses_.size() + 1);
        config.usbPath = "/devices/sim/usb1/1-" + n;
        config.usbSerial = "QG000" + n;
    }
    gpses_.push_back(std::make_unique<SimulatedGps>(std::move(config), clock_));
    SimulatedGps& gps = *gpses_.back();
    gps.setEventSink([this](platform::DeviceEvent event) { events_.raise(event); });
    usb_.addGps(&gps);
    volumes_.addGps(&gps);
    return gps;
}

}  // namespace sim
