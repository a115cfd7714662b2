// quorta-gps-emulator: plays the simulated Quorta GPS as USB devices of an
// emulated computer (umockdev: sysfs, /dev, uevents, a mount table) with
// UDisks2 and logind on a private system bus, and runs a program in it, so
// that the shipped updater takes the road a real GPS takes: libudev, the udev
// monitor, hidraw through libhidapi-hidraw, the mount table, UDisks2.
#include <fcntl.h>
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
#include <thread>
#include <vector>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/linux/EmulatedRoad.h"
#include "sim/SimulatedGps.h"
#include "sim/SimulationOptions.h"
#include "sim/UnplugPoints.h"
#include "sim/emulator/EmulatedGps.h"
#include "sim/emulator/MountTable.h"
#include "sim/emulator/OtherDevices.h"
#include "sim/emulator/PrivateBus.h"
#include "sim/emulator/Processes.h"
#include "sim/emulator/Testbed.h"

namespace {

namespace fs = std::filesystem;

// The emulator's own failures, apart from whatever the child exits with.
constexpr int kExitEmulatorFailed = 125;

const char kUsage[] =
    "usage: quorta-gps-emulator --gps=TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]\n"
    "                           [--simulate-drive=DIR|none] [--simulate-fault=NAME,...]\n"
    "                           [--simulate-replug=SECONDS|never] [--time-scale=F]\n"
    "                           [--drive-fs=vfat|exfat-fuse]"
    " [--drive-label=TEXT]\n"
    "                           [--drive-read-only] [--drive-partitions=none]\n"
    "                           [--drive-after-restart=moved|late:SECONDS,...]\n"
    "                           [--stick=LABEL[:FOLDER,...]]... [--second-gps]\n"
    "                           [--hidraw-mode=MODE] [--hidraw-late=SECONDS[:access]]\n"
    "                           [--child-user=UID[:GID]] [--udev-daemon]\n"
    "                           [--report=FILE] [--as-real-gps] -- COMMAND [ARG...]\n"
    "\n"
    "Plays a simulated Quorta GPS as USB devices of an emulated computer (umockdev)\n"
    "and runs COMMAND in it, unmodified: it finds the GPS through libudev and hidraw,\n"
    "its drive through the mount table and UDisks2, as it would a real one.\n"
    "\n"
    "Options:\n"
    "  --gps=MODEL           the GPS, as quorta-updater's --simulate takes it: device\n"
    "                        type 0..16, jp (default) or std, firmware version (default\n"
    "                        7.62), the mode it starts in (default app), e.g.\n"
    "                        --gps=13:jp:12.40 or --gps=7:jp:7.62:rom\n"
    "  --time-scale=F        every wait of the GPS F times as long (0 < F <= 100);\n"
    "                        quorta-updater and quorta-bl as COMMAND get the same factor\n"
    "  --simulate-drive=DIR  the folder that plays the GPS's drive (default: a private\n"
    "                        one, removed at the end); none: the GPS shows no drive\n"
    "  --simulate-fault=LIST faults of the GPS, as quorta-updater takes them\n"
    "                        (--simulate-fault=help lists them). A cable pulled at a\n"
    "                        step of the updater's own is pulled when the emulator\n"
    "                        sees its text: run quorta-updater with --show-log\n"
    "  --simulate-replug=S   the cable goes back in S seconds later (default 4), or never\n"
    "  --drive-fs=FS         vfat (default), or exfat-fuse: an exFAT drive mounted\n"
    "                        through FUSE (the mount table says fuseblk)\n"
    "  --drive-label=TEXT    the drive's volume label (default QUORTA; empty: none)\n"
    "  --drive-read-only     the drive is mounted read-only: the mount table says \"ro\",\n"
    "                        and a --child-user may not write in its folders\n"
    "  --drive-partitions=none the drive's disk has no partition table: its file\n"
    "                        system is on sdb itself\n"
    "  --drive-after-restart=LIST what the desktop does when the GPS's drive comes\n"
    "                        back after a restart: moved (mounted at another folder,\n"
    "                        QUORTA1, QUORTA2, ..., the old one left behind empty),\n"
    "                        late:S (mounted S seconds, times the time scale, late)\n"
    "  --stick=LABEL[:FOLDERS] a USB stick of another maker beside the GPS, with\n"
    "                        this volume label (may be empty) and these root folders\n"
    "                        (comma-separated); mounted after the GPS's drive. May\n"
    "                        be given more than once\n"
    "  --second-gps          a second GPS in application mode on another port, with\n"
    "                        its drive (QUORTA, a Quorta folder); it does not answer\n"
    "                        over HID\n"
    "  --hidraw-mode=MODE    permissions of the hidraw node (octal, default 0666)\n"
    "  --hidraw-late=S[:access] each hidraw node is finished S seconds (times the\n"
    "                        time scale) after its device is announced: until then\n"
    "                        it is missing (ENOENT), or with :access open to root\n"
    "                        alone (EACCES for a --child-user)\n"
    "  --child-user=UID[:GID] run COMMAND as this user (needs root)\n"
    "  --udev-daemon         COMMAND sees a udev daemon (/run/udev/control, in a\n"
    "                        mount namespace of its own; needs root) and takes\n"
    "                        udev's event source, as on a desktop\n"
    "  --report=FILE         at the end, write what the GPS did and how it ended\n"
    "  --as-real-gps         do not tell COMMAND that the GPS is emulated: a build with\n"
    "                        test images then treats it as a real GPS and writes nothing\n"
    "  -h, --help            this text\n"
    "\n"
    "With QUORTA_EMULATOR_TRACE set in the environment every report through the\n"
    "hidraw node is traced on standard error.\n"
    "\n"
    "Exit status: COMMAND's (128 + N when a signal N ended it); 125 when the\n"
    "emulator itself failed or a cable to be pulled (unplug@...) never was, 126\n"
    "when COMMAND could not be run, 127 when it was not found.\n";

struct Options {
    sim::SimulationArgs simulation;
    sim::SimulationConfig config;
    bool faultHelp = false;
    std::optional<double> timeScale;
    bool exfatFuse = false;
    std::optional<std::string> driveLabel;
    mode_t hidrawMode = 0666;
    double hidrawLateSeconds = 0;
    bool hidrawLateAccess = false;
    bool driveReadOnly = false;
    bool unpartitionedDrive = false;
    bool remountMoves = false;
    double remountLateSeconds = 0;
    std::vector<emu::OtherVolume> sticks;
    bool secondGps = false;
    bool udevDaemon = false;
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    std::string report;
    bool asRealGps = false;
    std::vector<std::string> command;
};

int usageError(const std::string& message) {
    std::fprintf(stderr,
                 "quorta-gps-emulator: %s\nRun quorta-gps-emulator --help for the options.\n",
                 message.c_str());
    return kExitEmulatorFailed;
}

bool valueOf(const std::string& arg, const char* name, std::string& value) {
    const std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

bool parseUnsigned(const std::string& text, int base, unsigned long max, unsigned long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && out <= max && text[0] != '-';
}

// Empty when the command line is usable, otherwise why not.
std::string parseOptions(int argc, char** argv, Options& o, bool& help) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            help = true;
            return "";
        } else if (valueOf(arg, "--gps", v)) {
            o.simulation.simulate = v;
        } else if (valueOf(arg, "--simulate-fault", v)) {
            o.simulation.faults = v;
        } else if (valueOf(arg, "--simulate-replug", v)) {
            o.simulation.replug = v;
        } else if (valueOf(arg, "--time-scale", v)) {
            char* end = nullptr;
            const double scale = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(scale > 0 && scale <= 100)) {
                return "--time-scale needs a number above 0 and at most 100";
            }
            o.timeScale = scale;
        } else if (valueOf(arg, "--simulate-drive", v)) {
            o.simulation.drive = v;
        } else if (valueOf(arg, "--drive-fs", v)) {
            if (v != "vfat" && v != "exfat-fuse") return "--drive-fs is vfat or exfat-fuse";
            o.exfatFuse = v == "exfat-fuse";
        } else if (valueOf(arg, "--drive-label", v)) {
            for (unsigned char c : v) {
                if (c < 0x20 || c == 0x7F) return "--drive-label takes printable text";
            }
            o.driveLabel = v;
        } else if (valueOf(arg, "--hidraw-mode", v)) {
            unsigned long mode = 0;
            if (!parseUnsigned(v, 8, 07777, mode)) return "--hidraw-mode needs an octal mode";
            o.hidrawMode = static_cast<mode_t>(mode);
        } else if (valueOf(arg, "--hidraw-late", v)) {
            const size_t colon = v.find(':');
            if (colon != std::string::npos && v.substr(colon) != ":access") {
                return "--hidraw-late takes SECONDS or SECONDS:access";
            }
            const std::string seconds = v.substr(0, colon);
            char* end = nullptr;
            const double late = std::strtod(seconds.c_str(), &end);
            if (seconds.empty() || *end != '\0' || !(late >= 0 && late <= 600)) {
                return "--hidraw-late needs seconds from 0 to 600";
            }
            o.hidrawLateSeconds = late;
            o.hidrawLateAccess = colon != std::string::npos;
        } else if (arg == "--drive-read-only") {
            o.driveReadOnly = true;
        } else if (valueOf(arg, "--drive-partitions", v)) {
            if (v != "none") return "--drive-partitions takes none";
            o.unpartitionedDrive = true;
        } else if (valueOf(arg, "--drive-after-restart", v)) {
            for (const std::string& item : splitList(v)) {
                if (item == "moved") {
                    o.remountMoves = true;
                    continue;
                }
                char* end = nullptr;
                const double late = item.rfind("late:", 0) == 0 && item.size() > 5
                                        ? std::strtod(item.c_str() + 5, &end)
                                        : -1;
                if (!end || *end != '\0' || !(late >= 0 && late <= 600)) {
                    return "--drive-after-restart takes moved and late:SECONDS";
                }
                o.remountLateSeconds = late;
            }
        } else if (valueOf(arg, "--stick", v)) {
            emu::OtherVolume stick;
            const size_t colon = v.find(':');
            stick.label = v.substr(0, colon);
            if (colon != std::string::npos) stick.folders = splitList(v.substr(colon + 1));
            for (const std::string& name : stick.folders) {
                if (name.empty() || name == "." || name == ".." ||
                    name.find('/') != std::string::npos) {
                    return "--stick takes folder names without \"/\"";
                }
            }
            if (stick.label.find('/') != std::string::npos || stick.label == "." ||
                stick.label == "..") {
                return "--stick takes a label without \"/\"";
            }
            o.sticks.push_back(std::move(stick));
        } else if (arg == "--second-gps") {
            o.secondGps = true;
        } else if (arg == "--udev-daemon") {
            o.udevDaemon = true;
        } else if (valueOf(arg, "--child-user", v)) {
            const size_t colon = v.find(':');
            unsigned long uid = 0, gid = 0;
            if (!parseUnsigned(v.substr(0, colon), 10, 0xFFFFFFFEul, uid) ||
                (colon != std::string::npos &&
                 !parseUnsigned(v.substr(colon + 1), 10, 0xFFFFFFFEul, gid))) {
                return "--child-user needs UID or UID:GID";
            }
            o.uid = static_cast<uid_t>(uid);
            o.gid = static_cast<gid_t>(colon == std::string::npos ? uid : gid);
        } else if (arg == "--as-real-gps") {
            o.asRealGps = true;
        } else if (valueOf(arg, "--report", v)) {
            if (v.empty()) return "--report needs a file";
            o.report = v;
        } else {
            return "unknown option \"" + arg + "\"";
        }
    }
    for (; i < argc; ++i) o.command.emplace_back(argv[i]);
    if (sim::wantsFaultHelp(o.simulation)) {
        o.faultHelp = true;
        return "";
    }
    if (!o.simulation.simulate) return "--gps is needed";
    std::string error;
    std::optional<sim::SimulationConfig> config = sim::parseSimulation(o.simulation, &error);
    if (!config) {
        // The parser names quorta-updater's option; here it is --gps.
        for (size_t at; (at = error.find("--simulate=")) != std::string::npos;) {
            error.replace(at, 11, "--gps=");
        }
        return error;
    }
    o.config = *config;
    if (o.command.empty()) return "no command after --";
    if (o.uid && ::geteuid() != 0) return "--child-user needs root";
    if (o.udevDaemon && ::geteuid() != 0) return "--udev-daemon needs root";
    return "";
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

// Copies one output of the program to ours, line by line, and shows every
// line to the cable of a GPS that waits for a text of the updater's own. The
// terminal front end prints the log without its "\r" and status texts after
// "Detail: " or "Title:  ", a text of several lines with the later ones
// indented; the cable knows the texts as logged, whole: each such text is
// shown again with every line it gains.
std::thread relayOutput(int from, int to, const sim::HostTextHook& hook) {
    return std::thread([from, to, hook] {
        std::string line;
        std::string status;  // the status text being printed, "" when none
        constexpr const char* kIndent = "        ";
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
                if (w <= 0) break;
                done += w;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                // Built by appending: GCC 12 at -O3 misjudges the bounds of
                // a text put in front of a string.
                hook(line);
                std::string ended = line;
                ended.append("\r\n");
                hook(ended);
                std::string framed = "\r\n";
                framed.append(ended);
                hook(framed);
                if (!status.empty() && line.rfind(kIndent, 0) == 0) {
                    status.push_back('\n');
                    status.append(line, std::strlen(kIndent), std::string::npos);
                    hook(status);
                } else {
                    status.clear();
                }
                for (const char* label : {"Detail: ", "Title:  "}) {
                    if (line.rfind(label, 0) == 0) {
                        status = line.substr(std::strlen(label));
                        hook(status);
                    }
                }
                line.clear();
            }
        }
        ::close(from);
    });
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
    Options options;
    bool help = false;
    const std::string problem = parseOptions(argc, argv, options, help);
    if (help) {
        std::fputs(kUsage, stdout);
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
        const sim::HostTextHook cablePuller = sim::applySimulation(options.config, gps).onText;
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
            plan.unset = {platform::kEmulatedRoadFdVariable};
            const int declaration = options.asRealGps ? -1 : declareEmulatedRoad(testbed->root());
            if (declaration >= 0) {
                plan.keepFd = declaration;
                plan.set.push_back(std::string(platform::kEmulatedRoadFdVariable) + "=" +
                                   std::to_string(declaration));
            }
            plan.uid = options.uid;
            plan.udevDaemon = options.udevDaemon;
            plan.gid = options.gid;
            struct sigaction forward {};
            forward.sa_handler = forwardSignal;
            ::sigaction(SIGINT, &forward, nullptr);
            ::sigaction(SIGTERM, &forward, nullptr);
            ::sigaction(SIGHUP, &forward, nullptr);
            int out[2] = {-1, -1}, err[2] = {-1, -1};
            if (cablePuller && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0) {
                plan.stdoutFd = out[1];
                plan.stderrFd = err[1];
            }
            const pid_t child = emu::spawnProcess(plan);
            std::vector<std::thread> relays;
            if (plan.stdoutFd >= 0) {
                ::close(out[1]);
                ::close(err[1]);
                relays.push_back(relayOutput(out[0], 1, cablePuller));
                relays.push_back(relayOutput(err[0], 2, cablePuller));
            }
            if (child < 0) {
                std::fprintf(stderr, "quorta-gps-emulator: cannot start %s: %s\n",
                             command[0].c_str(), std::strerror(errno));
            } else {
                gChild = child;
                code = emu::waitExitCode(child);
                gChild = -1;
            }
            for (std::thread& t : relays) t.join();
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
