// A simulated computer with the GPS's machine, the program's own files and
// threads, and per-user folders inside the machine's folder, wired into the
// services as the program wires the real ones. The screenshots tool runs its
// scenes on one; the window's whole-update test does the same.
#pragma once

#include <memory>

#include "core/Services.h"
#include "core/UpdateWorkers.h"
#include "platform/Threads.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/XdgPaths.h"
#include "sim/SimulatedMachine.h"

namespace screenshots {

struct SimulatedComputer {
    explicit SimulatedComputer(platform::Clock* clock = nullptr)
        : machine(std::make_unique<sim::SimulatedMachine>(clock)),
          paths(machine->folder() + "/cache") {}

    void wire(core::Services& services) {
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
        services.paths = &paths;
        services.files = &files;
        services.threads = &threads;
        services.startOnBootloaderModeThread = core::startOnBootloaderModeThread;
    }

    // Declared first, so that a worker still running is joined before the
    // rest goes.
    platform::StdThreads threads;
    platform::LinuxFiles files;
    std::unique_ptr<sim::SimulatedMachine> machine;
    platform::XdgPaths paths;
};

}  // namespace screenshots
