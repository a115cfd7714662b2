// quorta-gps-emulator: plays the simulated Quorta GPS as USB devices of an
// emulated computer (umockdev: sysfs, /dev, uevents, a mount table) with
// UDisks2 and logind on a private system bus, and runs a program in it, so
// that the shipped updater takes the road a real GPS takes: libudev, the udev
// monitor, hidraw through libhidapi-hidraw, the mount table, UDisks2.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/linux/EmulatedRoad.h"
#include "sim/SimulatedGps.h"
#include "sim/SimulationOptions.h"
#include "sim/UnplugPoints.h"
#include "sim/emulator/EmulatedGps.h"
#include "sim/emulator/EmulatorOptions.h"
#include "sim/emulator/MountTable.h"
#include "sim/emulator/OtherDevices.h"
#include "sim/emulator/PhaseListener.h"
#include "sim/emulator/PrivateBus.h"
#include "sim/emulator/Processes.h"
#include "sim/emulator/Testbed.h"

namespace {

namespace fs = std::filesystem;

// The emulator's own failures, apart from whatever the child exits with.
constexpr int kExitEmulatorFailed = 125;

int usageError(const std::string& message) {
    std::fprintf(stderr,
                 "quorta-gps-emulator: %s\nRun quorta-gps-emulator --help for the options.\n",
                 message.c_str());
    return kExitEmulatorFailed;
}

// Our own programs take the GPS's time scale too, unless told otherwise.
void passTimeScale(std::vector<std::string>& command, double scale) {
    const std::string program = fs::path(command[0]).filename().string();
    if (program != "quorta-updater" && program != "quorta-bl") return;
    for (const std::string& arg : command) {
        if (arg.rfind("--time-scale", 0) == 0) return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "--time-scale=%g", scale);
    command.insert(command.begin() + 1, text);
}

// Starts this program again with umockdev's preload: the testbed's owner
// sends its uevents through it. Returns only on failure.
int restartWithPreload(char** argv) {
    std::string preload = emu::kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    // A program built with AddressSanitizer wants its runtime first of all
    // libraries; the preload must come first for its paths to be emulated,
    // and the two get along.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old)
        asan = std::string(old) + ":" + asan;
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "quorta-gps-emulator: cannot start again with %s: %s\n",
                 emu::kPreloadLibrary, std::strerror(errno));
    return kExitEmulatorFailed;
}

std::string makePrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorta-emulator-XXXXXX";
    if (!::mkdtemp(pattern.data())) return "";
    return pattern;
}

void writeReport(const std::string& path, const sim::SimulatedGps& gps,
                 const emu::EmulatedGps& emulated) {
    std::ofstream out(path, std::ios::trunc);
    const sim::GpsConfig config = gps.config();
    images::ImageVersion version;
    const images::ImageCheck check = gps.checkFlashImage(&version);
    out << "mode: " << sim::gpsModeName(gps.mode()) << "\n";
    out << "version: " << config.versionMajor << "." << config.versionMinor
        << (config.japanese ? " Japanese" : " standard") << "\n";
    out << "radio: " << gps.radioBuild() << "\n";
    out << "flash: " << images::imageCheckText(check);
    if (check == images::ImageCheck::ok) {
        out << " (type " << version.deviceType << ", " << version.major << "." << version.minor
            << (version.variant == 60 ? " Japanese" : " standard") << ")";
    }
    out << "\n";
    const emu::HidrawNode::Counters c = emulated.hidCounters();
    out << "hidraw: " << c.opens << " opens, " << c.writes << " writes, " << c.reads << " reads\n";
    for (const std::string& line : gps.activity()) out << "activity: " << line << "\n";
}

// The memory file that tells the child its GPS is ours (EmulatedRoad.h), or
// -1. Close-on-exec: only the child it is handed to keeps it.
int declareEmulatedRoad(const std::string& testbedRoot) {
    const int fd = ::memfd_create(platform::kEmulatedRoadMemfdName, MFD_CLOEXEC);
    if (fd < 0) return -1;
    const std::string text = platform::emulatedRoadDeclaration(testbedRoot);
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A cable that was to be pulled and never was: the run tested nothing.
bool unplugNeverFired(const sim::SimulationConfig& config, const sim::SimulatedGps& gps) {
    if (!config.unplug) return false;
    for (const std::string& line : gps.activity()) {
        if (line.rfind("unplugged at ", 0) == 0) return false;
    }
    std::fprintf(stderr,
                 "quorta-gps-emulator: the cable was never pulled (unplug@%s): the program "
                 "never reached that point\n",
                 sim::unplugOptionName(*config.unplug).c_str());
    return true;
}

std::atomic<pid_t> gChild{-1};

void forwardSignal(int signal) {
    const pid_t child = gChild.load();
    if (child > 0) ::kill(child, signal);
}

}  // namespace

int main(int argc, char** argv) {
    emu::EmulatorOptions options;
    bool help = false;
    const std::string problem = emu::parseEmulatorOptions(argc, argv, options, help);
    if (help) {
        std::fputs(emu::kEmulatorUsage, stdout);
        return 0;
    }
    if (options.faultHelp) {
        std::fputs(sim::simulationFaultHelp().c_str(), stdout);
        return 0;
    }
    if (!problem.empty()) return usageError(problem);
    if (!emu::preloadActive()) return restartWithPreload(argv);

    // Before any thread: the testbed sets UMOCKDEV_DIR.
    std::unique_ptr<emu::Testbed> testbed;
    try {
        testbed = std::make_unique<emu::Testbed>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorta-gps-emulator: %s\n", e.what());
        return kExitEmulatorFailed;
    }
    ::signal(SIGPIPE, SIG_IGN);
    hidport::setBackend(hidport::Backend::Simulated);
    if (options.timeScale) platform::setSharedClockScale(*options.timeScale);

    const std::string folder = makePrivateFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "quorta-gps-emulator: cannot make a private folder: %s\n",
                     std::strerror(errno));
        return kExitEmulatorFailed;
    }
    sim::GpsConfig& gpsConfig = options.config.gps;
    const bool ownDrive = gpsConfig.driveFolder.empty();
    // A drive whose mount moves is reached through links in /media.
    if (ownDrive)
        gpsConfig.driveFolder = folder + (options.remountMoves ? "/drive" : "/media/QUORTA");
    int code = kExitEmulatorFailed;
    {
        emu::MountTable mounts(*testbed);
        sim::SimulatedGps gps(gpsConfig);
        if (options.uid) {
            // The other user reads the testbed and binds its uevent sockets in it.
            ::chmod(testbed->root().c_str(), 01777);
            ::chmod(folder.c_str(), 0755);
            if (ownDrive) {
                std::error_code ec;
                for (const char* part : {"/media", "/drive"}) {
                    for (const auto& entry : fs::recursive_directory_iterator(folder + part, ec)) {
                        ::lchown(entry.path().c_str(), *options.uid, *options.gid);
                    }
                    ::chown((folder + part).c_str(), *options.uid, *options.gid);
                }
            }
        }
        const sim::HostPhaseHook cablePuller = sim::applySimulation(options.config, gps).onPhase;
        gps.waitUntilSettled(10000);

        emu::PrivateBus bus(folder);
        std::string why = bus.startMock(QUORTA_UDISKS_MOCK, "org.freedesktop.UDisks2",
                                        "{\"MountPoint\": \"/nonexistent\"}");
        if (why.empty()) why = bus.startMock("logind", "org.freedesktop.login1");
        if (why.empty()) why = bus.waitForMocks();
        if (!why.empty()) {
            std::fprintf(stderr,
                         "quorta-gps-emulator: no UDisks2 and logind for the program (%s)\n",
                         why.c_str());
        }
        std::unique_ptr<emu::EmulatedGps> emulated;
        std::unique_ptr<emu::UDisksMock> udisks;
        if (why.empty()) {
            udisks = std::make_unique<emu::UDisksMock>(bus.address(), [&emulated] {
                if (emulated) emulated->computerTookDrive();
            });
            std::string error;
            if (!udisks->start(&error)) {
                std::fprintf(stderr, "quorta-gps-emulator: %s\n", error.c_str());
                udisks.reset();
            } else {
                udisks->setMountPoint("");
            }
        }
        emu::EmulatedGpsOptions emulation;
        emulation.hidrawMode = options.hidrawMode;
        emulation.lateHidraw = std::chrono::milliseconds(static_cast<long long>(
            options.hidrawLateSeconds * options.timeScale.value_or(1.0) * 1000));
        emulation.lateHidrawAccess = options.hidrawLateAccess;
        emulation.driveReadOnly = options.driveReadOnly;
        emulation.diskPlace.partitioned = !options.unpartitionedDrive;
        emulation.remountMoves = options.remountMoves;
        emulation.remountLate = std::chrono::milliseconds(static_cast<long long>(
            options.remountLateSeconds * options.timeScale.value_or(1.0) * 1000));
        emulation.mountFolder = folder + "/media";
        emu::OtherDevices others(*testbed, mounts, folder + "/media");
        for (const emu::OtherVolume& stick : options.sticks) {
            std::string why;
            if (!others.addStick(stick, &why)) {
                std::fprintf(stderr, "quorta-gps-emulator: cannot add a stick: %s\n", why.c_str());
            }
        }
        if (options.secondGps) {
            std::string why;
            if (!others.addSecondGps(&why)) {
                std::fprintf(stderr, "quorta-gps-emulator: cannot add a second GPS: %s\n",
                             why.c_str());
            }
        }
        emulation.exfatThroughFuse = options.exfatFuse;
        emulation.driveLabel = options.driveLabel;
        emulated =
            std::make_unique<emu::EmulatedGps>(gps, *testbed, mounts, emulation, udisks.get());
        std::string error;
        if (!emulated->start(&error)) {
            std::fprintf(stderr, "quorta-gps-emulator: %s\n", error.c_str());
        } else {
            std::vector<std::string> command = options.command;
            if (options.timeScale) passTimeScale(command, *options.timeScale);
            emu::SpawnPlan plan;
            plan.argv = command;
            if (!bus.address().empty()) plan.set = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()};
            // The child learns that its GPS is this one unless it is to take
            // it for a real one; a declaration inherited from outside never
            // passes on.
            plan.unset = {platform::kEmulatedRoadFdVariable,
                          platform::kEmulatedRoadPhaseFdVariable};
            const int declaration = options.asRealGps ? -1 : declareEmulatedRoad(testbed->root());
            // A cable that waits for a phase of the update hears of it from
            // the updater, which tells an emulator that declared its road.
            std::unique_ptr<emu::PhaseListener> phases;
            if (declaration >= 0) {
                plan.keepFds.push_back(declaration);
                plan.set.push_back(std::string(platform::kEmulatedRoadFdVariable) + "=" +
                                   std::to_string(declaration));
                if (cablePuller) phases = std::make_unique<emu::PhaseListener>();
            }
            if (phases && phases->ok()) {
                plan.keepFds.push_back(phases->writeEnd());
                plan.set.push_back(std::string(platform::kEmulatedRoadPhaseFdVariable) + "=" +
                                   std::to_string(phases->writeEnd()));
            }
            plan.uid = options.uid;
            plan.udevDaemon = options.udevDaemon;
            plan.gid = options.gid;
            struct sigaction forward {};
            forward.sa_handler = forwardSignal;
            ::sigaction(SIGINT, &forward, nullptr);
            ::sigaction(SIGTERM, &forward, nullptr);
            ::sigaction(SIGHUP, &forward, nullptr);
            const pid_t child = emu::spawnProcess(plan);
            if (declaration >= 0) ::close(declaration);
            if (phases) phases->listen(cablePuller);
            if (child < 0) {
                std::fprintf(stderr, "quorta-gps-emulator: cannot start %s: %s\n",
                             command[0].c_str(), std::strerror(errno));
            } else {
                gChild = child;
                code = emu::waitExitCode(child);
                gChild = -1;
            }
            if (phases) phases->stop();
        }
        if (!options.report.empty()) writeReport(options.report, gps, *emulated);
        if (code != kExitEmulatorFailed && unplugNeverFired(options.config, gps)) {
            code = kExitEmulatorFailed;
        }
        // Nothing from the bus may reach the GPS while it is taken away.
        if (udisks) udisks->stopWatching();
        emulated.reset();
        udisks.reset();
    }
    // The private folder, and with it the drive unless it was given.
    std::error_code ec;
    fs::remove_all(folder, ec);
    return code;
}
