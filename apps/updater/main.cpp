// quorta-updater: finds a Quorta GPS on USB and brings its firmware, radio and
// language packs up to date, in a window (default) or in a terminal (--cli),
// against the real device or a simulated one (--simulate).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/Logger.h"
#include "core/ProgramOptions.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/WindowProcedure.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"
#include "ui/cli/CliFrontEnd.h"
#ifdef QUORTA_HAVE_QT_UI
#include "ui/qt/QtFrontEnd.h"
#endif

namespace {

int usageError(const std::string& message) {
    std::fprintf(stderr, "quorta-updater: %s\nRun quorta-updater --help for the options.\n",
                 message.c_str());
    return core::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<core::ProgramOptions> parsed = core::parseProgramOptions(args, &error);
    if (!parsed) return usageError(error);
    const core::ProgramOptions& options = *parsed;
    if (options.help) {
        std::fputs(core::programUsage(), stdout);
        return core::kExitOk;
    }

    std::optional<sim::GpsConfig> simulated;
    if (options.simulate) {
        simulated = sim::parseSimulateOption(*options.simulate, &error);
        if (!simulated) return usageError("--simulate=" + *options.simulate + ": " + error);
        if (options.simulateRadioBuild) simulated->radioBuild = *options.simulateRadioBuild;
    }
#ifndef QUORTA_HAVE_QT_UI
    if (!options.cli && !options.scanOnce) {
        return usageError("this build has no window; use --cli");
    }
#endif
    if (options.timeScale) platform::setSharedClockScale(*options.timeScale);

    // The program's collaborators: the computer's, or a simulated computer's.
    core::Services services;
    platform::StderrDebugOutput debugOutput;
    platform::XdgPaths paths;
    platform::FlockInstanceLock lock;
    std::unique_ptr<platform::LinuxUsbDeviceList> usb;
    std::unique_ptr<platform::LinuxVolumes> volumes;
    std::unique_ptr<platform::UDisksVolumeEjector> ejector;
    std::unique_ptr<platform::LinuxDeviceEvents> events;
    std::unique_ptr<sim::SimulatedMachine> machine;
    if (simulated) {
        machine = std::make_unique<sim::SimulatedMachine>();
        sim::SimulatedGps& gps = machine->addGps(*simulated);
        gps.plugIn(sim::GpsMode::Application);
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
    } else {
        hidport::setBackend(hidport::Backend::Real);
        usb = std::make_unique<platform::LinuxUsbDeviceList>();
        volumes = std::make_unique<platform::LinuxVolumes>();
        ejector = std::make_unique<platform::UDisksVolumeEjector>();
        events = std::make_unique<platform::LinuxDeviceEvents>();
        services.usbDevices = usb.get();
        services.volumes = volumes.get();
        services.volumeEjector = ejector.get();
    }
    services.paths = &paths;
    // In a window every log line also goes to standard error, the system's
    // debug channel; in a terminal that is where --show-log puts the log.
    const bool terminal = options.cli || options.scanOnce;
    services.debugOutput = terminal ? nullptr : &debugOutput;
    core::setServices(services);
    core::resetWorkflows();
    // Every message of the bootloader library counts towards the progress
    // texts of a firmware write.
    bootloader::FileLogger::setSink(core::progressLogSink);

    core::FrontEndContext context;
    context.options = options;
    context.lock = &lock;
    // A simulated run touches no real device: it does not keep a real
    // updater from running, nor the other way round.
    context.lockName = simulated ? std::string(core::kInstanceLockName) + "-simulated"
                                 : std::string(core::kInstanceLockName);
    context.events = events.get();
    context.simulated = simulated.has_value();

    int code;
    if (options.scanOnce) {
        code = ui_cli::runScanOnceFrontEnd(context);
    } else if (options.cli) {
        code = ui_cli::runCliFrontEnd(context);
    } else {
#ifdef QUORTA_HAVE_QT_UI
        code = ui_qt::runQtFrontEnd(context);
#else
        code = core::kExitUsage;
#endif
    }
    core::setServices(core::Services{});
    return code;
}
