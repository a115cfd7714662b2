// Records a golden trace with what quorta-updater's own --simulate cannot
// ask for yet: a GPS that starts in its ROM bootloader (its flash holding no
// bootable image), "--simulate=...:rom", and a drive folder of the test's
// choosing, "--simulate-drive=DIR". It is wired as quorta-updater wires it
// (the window, or the terminal with --cli) and takes the program's command
// line with these two among it. Its traces are replayed by the shipped
// program like every other; bench_trace runs it without --record-trace, as
// the program it twins.
#include <cstdio>
#include <string>
#include <vector>

#include "DeviceTrace.h"
#include "core/PowerGuard.h"
#include "core/ProgramOptions.h"
#include "core/Services.h"
#include "core/UpdateWorkers.h"
#include "core/WindowProcedure.h"
#include "platform/Clock.h"
#include "platform/Threads.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"
#include "sim/SimulationOptions.h"
#include "ui/cli/CliFrontEnd.h"
#ifdef QUORTA_HAVE_QT_UI
#include "ui/qt/QtFrontEnd.h"
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool inRom = false;
    std::string driveFolder;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--simulate=", 0) == 0 && arg.size() > 15 &&
            arg.compare(arg.size() - 4, 4, ":rom") == 0) {
            arg.resize(arg.size() - 4);
            inRom = true;
        }
        if (arg.rfind("--simulate-drive=", 0) == 0) {
            driveFolder = arg.substr(17);
            continue;
        }
        args.push_back(arg);
    }
    std::string error;
    std::optional<core::ProgramOptions> options = core::parseProgramOptions(args, &error);
    if (!options || !options->simulate) {
        std::fprintf(stderr, "record_twin: --simulate=... [--record-trace FILE]: %s\n",
                     error.c_str());
        return core::kExitUsage;
    }
    sim::SimulationArgs simulation;
    simulation.simulate = *options->simulate;
    std::optional<sim::SimulationConfig> parsed = sim::parseSimulation(simulation, &error);
    sim::GpsConfig* config = parsed ? &parsed->gps : nullptr;
    if (!config) {
        std::fprintf(stderr, "record_twin: %s\n", error.c_str());
        return core::kExitUsage;
    }
    if (options->timeScale) platform::setSharedClockScale(*options->timeScale);

    // The command line as quorta-updater would have had it.
    std::vector<std::string> recorded(argv + 1, argv + argc);
    DeviceTrace deviceTrace;
    if (!deviceTrace.open(*options, recorded, &error)) {
        std::fprintf(stderr, "record_twin: %s\n", error.c_str());
        return core::kExitFailure;
    }
    platform::XdgPaths paths;
    platform::FlockInstanceLock lock;
    platform::LinuxFiles files;
    platform::StdThreads threads;
    core::Services services;
    sim::SimulatedMachine machine;
    if (!driveFolder.empty()) config->driveFolder = driveFolder;
    machine.addGps(*config).plugIn(inRom ? sim::GpsMode::RomBootloader : sim::GpsMode::Application);
    services.usbDevices = &machine.usbDevices();
    services.volumes = &machine.volumes();
    services.volumeEjector = &machine.ejector();
    platform::DeviceEvents* events = &machine.deviceEvents();
    services.paths = &paths;
    services.files = &files;
    services.threads = &threads;
    services.startOnBootloaderModeThread = core::startOnBootloaderModeThread;
    deviceTrace.wrapSeams(services, events);
    core::setServices(services);
    core::resetWorkflows();

    core::FrontEndContext context;
    context.options = *options;
    context.lock = &lock;
    context.lockName = std::string(core::kInstanceLockName) + "-simulated";
    context.events = events;
    context.simulated = true;
    int code;
    if (options->cli) {
        code = ui_cli::runCliFrontEnd(context);
    } else {
#ifdef QUORTA_HAVE_QT_UI
        code = ui_qt::runQtFrontEnd(context);
#else
        std::fprintf(stderr, "record_twin: this build has no window; use --cli\n");
        code = core::kExitUsage;
#endif
    }
    core::setPowerLingerMs(0);
    threads.joinAll();
    core::setServices(core::Services{});
    return deviceTrace.finish(code);
}
