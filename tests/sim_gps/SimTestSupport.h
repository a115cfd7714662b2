// A simulated computer wired into the updater's collaborators, with a
// recording window, for the suites that run against the simulated GPS.
#pragma once

#include <memory>

#include "CoreTestSupport.h"
#include "sim/SimulatedMachine.h"

namespace testing_support {

class SimGpsTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        machine = std::make_unique<sim::SimulatedMachine>(&clock);
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
        services.window = &window;
        services.startOnBootloaderModeThread = [this] { ++bootloaderThreadStarts; };
        applyServices();
        core::reportCallbacks().reportStatus = core::reportStatus;
        core::reportCallbacks().waitSeconds = core::sleepSeconds;
    }
    void TearDown() override { machine.reset(); }

    sim::SimulatedGps& addGps(sim::GpsConfig config = {}) {
        return machine->addGps(std::move(config));
    }

    std::unique_ptr<sim::SimulatedMachine> machine;
    RecordingWindow window;
    int bootloaderThreadStarts = 0;
};

}  // namespace testing_support
