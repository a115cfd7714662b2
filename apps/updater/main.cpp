// quorta-updater: finds a Quorta GPS on USB and brings its firmware, radio and
// language packs up to date, in a window (default) or in a terminal (--cli),
// against the real device or a simulated one (--simulate).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DeviceTrace.h"
#include "core/Context.h"
#include "core/GpsDrive.h"
#include "core/PowerGuard.h"
#include "core/ProgramOptions.h"
#include "core/Services.h"
#include "core/TestImages.h"
#include "core/UpdateWorkers.h"
#include "core/WindowProcedure.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/Threads.h"
#include "platform/linux/EmulatedRoad.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"
#include "sim/SimulationOptions.h"
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

// The real desktop's seams, made only when the GPS is on the USB road.
struct DesktopSeams {
    // The computer stays awake while a real GPS is being written.
    platform::LogindInhibitor sleepInhibitor;
    platform::LinuxUsbDeviceList usb;
    platform::LinuxVolumes volumes;
    platform::UDisksVolumeEjector ejector;
    platform::UDisksDriveMounter mounter;
    platform::LinuxDeviceEvents events;

    void useIn(core::Services& services) {
        services.usbDevices = &usb;
        services.volumes = &volumes;
        services.volumeEjector = &ejector;
        services.sleepInhibitor = &sleepInhibitor;
        services.driveMounter = &mounter;
    }
};

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
    if (options.version) {
        std::printf("quorta-updater %s\n", QUORTA_VERSION);
        return core::kExitOk;
    }

    const sim::SimulationArgs simulation{options.simulate, options.simulateDrive,
                                         options.simulateFault, options.simulateReplug};
    if (sim::wantsFaultHelp(simulation)) {
        std::fputs(sim::simulationFaultHelp().c_str(), stdout);
        return core::kExitOk;
    }
    // Every value is checked before anything starts.
    std::optional<sim::SimulationConfig> simulated;
    if (simulation.simulate || simulation.drive || simulation.faults || simulation.replug) {
        simulated = sim::parseSimulation(simulation, &error);
        if (!simulated) return usageError(error);
        if (options.simulateRadioBuild) simulated->gps.radioBuild = *options.simulateRadioBuild;
    }
#ifndef QUORTA_HAVE_QT_UI
    if (!options.cli && !options.scanOnce) {
        return usageError("this build has no window; use --cli");
    }
#endif
    if (options.timeScale) platform::setSharedClockScale(*options.timeScale);

    // What the run keeps between calls. First in, so that it outlives the
    // workers and everything they use.
    core::ScopedContext run(hidport::Backend::Real);

    // The program's collaborators: the computer's, or a simulated computer's.
    core::Services services;
    platform::StderrDebugOutput debugOutput;
    platform::LogFile logFile;
    if (options.logFile && !logFile.open(*options.logFile, &error)) {
        std::fprintf(stderr, "quorta-updater: %s\n", error.c_str());
        return core::kExitFailure;
    }
    // Every run of the window or of the terminal keeps its own log for support.
    platform::XdgRunLog runLog;
    platform::FreedesktopNotifier notifier;
    // Opened before any device work: a trace that cannot be written ends the
    // run here, as a log file does.
    DeviceTrace deviceTrace;
    if (!deviceTrace.open(options, args, &error)) {
        std::fprintf(stderr, "quorta-updater: %s\n", error.c_str());
        return core::kExitFailure;
    }
    platform::XdgPaths paths;
    platform::FlockInstanceLock lock;
    platform::LinuxFiles files;
    // Declared before everything the workers use, so that any worker still
    // running is joined before those go.
    platform::StdThreads threads;
    std::unique_ptr<DesktopSeams> desktop;
    std::unique_ptr<sim::SimulatedMachine> machine;
    platform::DeviceEvents* events = nullptr;
    if (simulated) {
        machine = std::make_unique<sim::SimulatedMachine>();
        sim::SimulatedGps& gps = machine->addGps(simulated->gps);
        // The cable waits for a phase of this updater's own update.
        if (sim::HostPhaseHook pull = sim::applySimulation(*simulated, gps).onPhase) {
            core::updatePhases().watch(
                [pull](core::UpdatePhase, core::UpdatePhase entered) { pull(entered); });
        }
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
        events = &machine->deviceEvents();
    } else if (deviceTrace.replaying()) {
        deviceTrace.replaceSeams(services, events);
    } else {
        hidport::setBackend(hidport::Backend::Real);
        desktop = std::make_unique<DesktopSeams>();
        desktop->useIn(services);
        events = &desktop->events;
    }
    services.paths = &paths;
    services.files = &files;
    services.threads = &threads;
    services.startOnBootloaderModeThread = core::startOnBootloaderModeThread;
    deviceTrace.wrapSeams(services, events);
    // In a window every log line also goes to standard error, the system's
    // debug channel; in a terminal that is where --show-log puts the log.
    const bool terminal = options.cli || options.scanOnce;
    services.debugOutput = terminal ? nullptr : &debugOutput;
    if (options.logFile) services.logFile = &logFile;
    if (!options.scanOnce) services.runLog = &runLog;
    services.notifier = &notifier;
    core::setServices(services);
    // Test images go to the simulated GPS, a replay, or the emulator's own
    // road, never to a GPS on the real road; no option of ours changes that.
    // (The check takes the declaration: it is made once.)
    const bool emulatorsRoad =
        !simulated && !deviceTrace.replaying() && platform::emulatedRoadDeclared();
    core::setRealGpsRoad(!simulated && !deviceTrace.replaying() && !emulatorsRoad);
    // The emulator's GPS pulls its cable at a phase of this update, as the
    // simulated one does in this process: it is told each phase entered.
    if (emulatorsRoad) {
        std::shared_ptr<platform::EmulatorPhasePipe> pipe =
            platform::EmulatorPhasePipe::fromEnvironment();
        if (pipe) {
            core::updatePhases().watch([pipe](core::UpdatePhase, core::UpdatePhase entered) {
                pipe->send(core::updatePhaseName(entered));
            });
        }
    }

    core::FrontEndContext context;
    context.options = options;
    context.lock = &lock;
    // A simulated run touches no real device: it does not keep a real
    // updater from running, nor the other way round.
    const bool noRealDevice = simulated || deviceTrace.replaying();
    context.lockName = noRealDevice ? std::string(core::kInstanceLockName) + "-simulated"
                                    : std::string(core::kInstanceLockName);
    context.events = events;
    context.simulated = noRealDevice;

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
    // Nothing more to span: device work still finishing gives the lock back
    // as it ends, and the program does not wait out a linger.
    core::setPowerLingerMs(0);
    threads.joinAll();
    // A drive mounted only for this run is given back.
    core::releaseGpsDriveMounts();
    return deviceTrace.finish(code);
}
