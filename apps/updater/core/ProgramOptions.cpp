#include "core/ProgramOptions.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "core/TestImages.h"
#include "core/Window.h"

namespace core {

namespace {

const char kUsage[] =
    "usage: quorta-updater [--cli [--yes] [--update] [MENU COMMANDS]] [--scan-once]\n"
    "                      [--log-file PATH]\n"
    "                      [--simulate=TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]\n"
    "                       [--simulate-radio=BUILD] [--simulate-drive=DIR|none]\n"
    "                       [--simulate-fault=NAME[,NAME...]] [--simulate-replug=SECONDS|never]\n"
    "                       [--time-scale=F]]\n"
    "                      [--record-trace FILE | --replay-trace FILE [--time-scale=F]]\n"
    "\n"
    "Updates the firmware of a Quorta GPS connected over USB. Without --cli it opens\n"
    "its window.\n"
    "\n"
    "Options:\n"
    "  --cli                 run in the terminal: status on standard output, questions\n"
    "                        asked on standard input\n"
    "  --yes                 answer every question with Yes or OK, except those that\n"
    "                        only open a web page (answered No)\n"
    "  --update              press the action button when it offers an update\n"
    "  --scan-once           look for the GPS once, print what was found, and end\n"
    "                        (with or without --cli)\n"
    "  --simulate=MODEL      run against a simulated GPS instead of USB: device type\n"
    "                        0..16, jp (default) or std, firmware version (default\n"
    "                        7.62), and where it starts: app (its application, the\n"
    "                        default), bootloader (its flash bootloader) or rom (the\n"
    "                        ROM bootloader, its flash holding no bootable firmware,\n"
    "                        so that only a recovery brings it back); e.g.\n"
    "                        --simulate=13:jp:12.10 or --simulate=5:jp:7.62:rom\n"
    "  --simulate-radio=N    radio build of the simulated GPS (default: the current one)\n"
    "  --simulate-drive=DIR  the folder DIR is the simulated GPS's drive: read and\n"
    "                        changed as the GPS changes it (backup, factory reset,\n"
    "                        radio and font files); none: the GPS has no drive (and\n"
    "                        the updater shows no GPS without one).\n"
    "                        Default: a fresh temporary drive labelled QUORTA holding\n"
    "                        an empty Quorta folder, removed at the end\n"
    "  --simulate-fault=LIST faults of the simulated GPS, comma-separated, e.g.\n"
    "                        unplug@write-50 or radio-fails,read-only-drive;\n"
    "                        --simulate-fault=help lists every one\n"
    "  --simulate-replug=S   the cable an unplug@ fault pulled goes back in after S\n"
    "                        seconds (default 4), or never\n"
    "  --time-scale=F        run every wait F times as long (0 < F <= 100); only with\n"
    "                        --simulate, --replay-trace, or on devices that umockdev\n"
    "                        emulates (UMOCKDEV_DIR set): a real device needs the real\n"
    "                        waits\n"
    "  --log-file PATH       also write every log line to PATH (appended), for support\n"
    "  --record-trace FILE   write every exchange with the GPS to FILE (mode 0600), for\n"
    "                        support: reports, device list, events, and the names,\n"
    "                        sizes and CRC-32 of the drive files touched (no contents)\n"
    "  --replay-trace FILE   play FILE back in place of a GPS; exits 3 at the first\n"
    "                        report that differs from the recorded one\n"
    "  --version             print the program's version and end\n"
    "  -h, --help            this text\n"
    "\n"
    "Menu commands (terminal only), run once a GPS is shown, in the order given:\n"
    "  --force-update        Force update\n"
    "  --factory-reset       Restore device to factory defaults\n"
    "  --erase-keys          Erase Encryption Key Storage\n"
    "  --language-packs      LOAD Language Packs\n"
    "  --about               About\n"
    "  --show-log            Show log (log lines on standard error)\n"
    "\n"
    "Emergency recovery (terminal): for a GPS in its ROM bootloader the recovery\n"
    "dialog asks on standard input for the model's number as listed (1 Gen2 Heron,\n"
    "2 Gen2 Enh Finch, 3 Gen2 FinchChroma, 4 Gen2 FinchBand, 5 Gen2 BandChroma,\n"
    "6 Gen2 Robin, 7 Gen2 Enhanced Osprey, 8 Gen3 CondorXL, 9 Gen3 CondorC,\n"
    "10 Gen4 OspreyMax, 11 Gen4 Heron Ultra, 12 Gen4 Heron Lite, 13 Gen5 Heron Lite),\n"
    "then j (Japanese) or e (English); an empty line or the end of the input\n"
    "cancels. For example:\n"
    "  printf '1\\nj\\n' | quorta-updater --cli --simulate=5:jp:7.62:rom\n"
    "\n"
    "Exit status: 0 when the run ends with \"Latest software is installed on device\"\n"
    "(or after --scan-once, --about alone, --version, --help or\n"
    "--simulate-fault=help), 1 otherwise, 2 for a command line that cannot be used,\n"
    "3 when a replayed trace differs.\n";

struct MenuFlag {
    std::string_view flag;
    int command;
};
constexpr MenuFlag kMenuFlags[] = {
    {"--force-update", kMenuForceUpdate},
    {"--factory-reset", kMenuFactoryReset},
    {"--erase-keys", kMenuEraseKeys},
    {"--language-packs", kMenuLanguagePacks},
    {"--about", kMenuAbout},
    {"--show-log", kMenuShowLog},
};

bool fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

// "--name=value" or "--name value"; advances `i` past a separate value.
bool takeValue(const std::vector<std::string>& args, size_t& i, std::string_view name,
               std::optional<std::string>& value, std::string* error) {
    const std::string& arg = args[i];
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
    } else if (arg == name) {
        if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
            return fail(error, std::string(name) + " needs a value");
        }
        value = args[++i];
    } else {
        return false;
    }
    if (value->empty()) return fail(error, std::string(name) + " needs a value");
    return true;
}

bool isName(const std::string& arg, std::string_view name) {
    return arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                           arg[name.size()] == '=');
}

}  // namespace

bool devicesAreEmulated() {
    const char* dir = std::getenv("UMOCKDEV_DIR");
    return dir && *dir;
}

const char* programUsage() {
    static const std::string usage =
        std::string(kUsage) +
        (buildHasTestImages() ? std::string("\n") + kTestImagesBuildNote : "");
    return usage.c_str();
}

std::optional<ProgramOptions> parseProgramOptions(const std::vector<std::string>& args,
                                                  std::string* error) {
    ProgramOptions o;
    auto bad = [&](std::string message) -> std::optional<ProgramOptions> {
        fail(error, std::move(message));
        return std::nullopt;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::optional<std::string> value;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (isName(arg, "--log-file")) {
            if (!takeValue(args, i, "--log-file", value, error)) return std::nullopt;
            o.logFile = *value;
        } else if (isName(arg, "--record-trace")) {
            if (!takeValue(args, i, "--record-trace", value, error)) return std::nullopt;
            o.recordTrace = *value;
        } else if (isName(arg, "--replay-trace")) {
            if (!takeValue(args, i, "--replay-trace", value, error)) return std::nullopt;
            o.replayTrace = *value;
        } else if (arg == "--cli") {
            o.cli = true;
        } else if (arg == "--scan-once") {
            o.scanOnce = true;
        } else if (arg == "--yes") {
            o.yes = true;
        } else if (arg == "--update") {
            o.update = true;
        } else if (isName(arg, "--simulate")) {
            if (!takeValue(args, i, "--simulate", value, error)) return std::nullopt;
            o.simulate = *value;
        } else if (isName(arg, "--simulate-drive")) {
            if (!takeValue(args, i, "--simulate-drive", value, error)) return std::nullopt;
            o.simulateDrive = *value;
        } else if (isName(arg, "--simulate-fault")) {
            if (!takeValue(args, i, "--simulate-fault", value, error)) return std::nullopt;
            o.simulateFault = *value;
        } else if (isName(arg, "--simulate-replug")) {
            if (!takeValue(args, i, "--simulate-replug", value, error)) return std::nullopt;
            o.simulateReplug = *value;
        } else if (isName(arg, "--simulate-radio")) {
            if (!takeValue(args, i, "--simulate-radio", value, error)) return std::nullopt;
            char* end = nullptr;
            const long build = std::strtol(value->c_str(), &end, 10);
            if (*end != '\0' || build <= 0 || build > 9999999) {
                return bad("--simulate-radio needs a build number from 1 to 9999999");
            }
            o.simulateRadioBuild = static_cast<int32_t>(build);
        } else if (isName(arg, "--time-scale")) {
            if (!takeValue(args, i, "--time-scale", value, error)) return std::nullopt;
            char* end = nullptr;
            const double scale = std::strtod(value->c_str(), &end);
            if (*end != '\0' || !std::isfinite(scale) || scale <= 0 || scale > 100) {
                return bad("--time-scale needs a number above 0 and at most 100");
            }
            o.timeScale = scale;
        } else {
            bool known = false;
            for (const MenuFlag& flag : kMenuFlags) {
                if (arg == flag.flag) {
                    o.menuCommands.push_back(flag.command);
                    known = true;
                }
            }
            if (!known) return bad("unknown option \"" + arg + "\"");
        }
    }
    if (o.help || o.version || o.simulateFault == "help") return o;
    if (o.replayTrace && (o.simulate || o.recordTrace)) {
        return bad("--replay-trace goes with neither --simulate nor --record-trace");
    }
    if (o.timeScale && !o.simulate && !o.replayTrace && !devicesAreEmulated()) {
        return bad(
            "--time-scale works only with --simulate or --replay-trace: a real device needs the "
            "real waits");
    }
    if (o.simulateRadioBuild && !o.simulate) return bad("--simulate-radio needs --simulate");
    // --cli --scan-once is a terminal user's way of saying --scan-once: it
    // prints in the terminal anyway.
    if (o.scanOnce && (o.yes || o.update || !o.menuCommands.empty())) {
        return bad("--scan-once goes with no other front end option");
    }
    if (!o.cli && !o.scanOnce) {
        if (o.yes) return bad("--yes needs --cli");
        if (o.update) return bad("--update needs --cli");
        if (!o.menuCommands.empty()) return bad("menu commands as options need --cli");
    }
    return o;
}

}  // namespace core
