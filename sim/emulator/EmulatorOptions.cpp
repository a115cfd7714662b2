#include "sim/emulator/EmulatorOptions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace emu {

const char kEmulatorUsage[] =
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
    "                        step of the updater's own is pulled as quorta-updater\n"
    "                        enters it, which it tells the emulator (not with\n"
    "                        --as-real-gps)\n"
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

namespace {

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

}  // namespace

std::string parseEmulatorOptions(int argc, char** argv, EmulatorOptions& o, bool& help) {
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
    // A program that takes the GPS for a real one tells nobody its phases.
    if (o.asRealGps && o.config.unplug && o.config.unplug->phase) {
        return "unplug@" + sim::unplugOptionName(*o.config.unplug) +
               " waits for a step the program tells only an emulated GPS: not with "
               "--as-real-gps";
    }
    if (o.uid && ::geteuid() != 0) return "--child-user needs root";
    if (o.udevDaemon && ::geteuid() != 0) return "--udev-daemon needs root";
    return "";
}

}  // namespace emu
