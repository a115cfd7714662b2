#include "sim/SimulationOptions.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "sim/FlashModel.h"

namespace sim {

namespace {

constexpr int kJapaneseProductIdOffset = 60;
constexpr int kMaxFaultCount = 99;
constexpr double kMaxReplugSeconds = 3600;
const char kModelSyntax[] = "TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]";
const char kOnlyBootloaders[] = "does not apply here: only the bootloaders are reached";

std::optional<int> parseNumber(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

std::optional<SimulationConfig> fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return std::nullopt;
}

bool refuse(std::string* error, std::string message) {
    fail(error, std::move(message));
    return false;
}

// --- Faults ---------------------------------------------------------------------

struct FaultKind {
    const char* name;
    bool counted;     // NAME:N
    bool bootloader;  // a fault of the bootloaders (applies everywhere)
    const char* what;
    void (*set)(SimulationConfig&, int count);
};

const FaultKind kFaults[] = {
    {"silent", false, false, "the GPS's application never answers the command link",
     [](SimulationConfig& c, int) { c.gps.faults.silent = true; }},
    {"unexpected-replies", false, false,
     "a reply to no command comes before every answer of the command link",
     [](SimulationConfig& c, int) { c.gps.faults.unexpectedReplies = 1; }},
    {"bad-crc", false, false, "every framed reply of the command link carries a wrong CRC",
     [](SimulationConfig& c, int) { c.gps.faults.badCrc = true; }},
    {"link-open-fails", true, false, "opening the command link fails the first N times",
     [](SimulationConfig& c, int n) { c.gps.faults.openFailures = n; }},
    {"link-access-late", true, false,
     "each time the application shows, opening its link is refused (permission denied) for N "
     "seconds, as a node udev gives the user late",
     [](SimulationConfig& c, int n) { c.gps.faults.linkAccessLateMs = n * 1000LL; }},
    {"radio-silent", false, false,
     "the radio does not answer NRF_GET_VERSION (until a radio update)",
     [](SimulationConfig& c, int) { c.gps.faults.silentRadio = true; }},
    {"radio-version-two-dots", false, false,
     "the radio's version text has two dots only (\"nRF VERSION: 2.X.YY\")",
     [](SimulationConfig& c, int) { c.gps.faults.radioVersionTwoDots = true; }},
    {"radio-fails", false, false, "UPDATE_NORDIC is answered with '%': the radio update fails",
     [](SimulationConfig& c, int) { c.gps.faults.radioUpdateFails = true; }},
    {"font-fails", false, false, "the font loader answers 'D': no language pack loads",
     [](SimulationConfig& c, int) { c.gps.faults.fontFailAfterPacks = 0; }},
    {"read-only-drive", false, false,
     "the computer can change nothing on the drive (its folder is read-only for the run)",
     [](SimulationConfig& c, int) { c.gps.faults.driveReadOnly = true; }},
    {"bootloader-open-fails", true, true,
     "opening a bootloader fails the first N times (the flash bootloader each time it shows)",
     [](SimulationConfig& c, int n) {
         c.gps.faults.bootloaderOpenFailures = n;
         c.romOpenFailures = n;
     }},
    {"bootloader-silent", false, true, "the bootloaders carry out every command but answer none",
     [](SimulationConfig& c, int) { c.bootloaderFaults.noResponse = true; }},
    {"flash-refuses-writes", false, true,
     "the flash takes no write: write-memory ends at once with status 105",
     [](SimulationConfig& c, int) {
         c.bootloaderFaults.abortAfterDataPackets = 0;
         c.bootloaderFaults.abortStatus = kFlash_CommandFailure;
     }},
};

// The device steps a bootloader alone goes through.
bool reachedByBootloader(const UnplugPoint& p) {
    return p.step && (*p.step == GpsStep::Erase || *p.step == GpsStep::Write ||
                      *p.step == GpsStep::BootloaderReset);
}

std::string faultError(const std::string& message) {
    return "--simulate-fault: " + message + " (--simulate-fault=help lists them)";
}

bool addFault(SimulationConfig& c, std::string_view word, const SimulationUse& use,
              std::string* error) {
    if (word.empty()) return refuse(error, faultError("an empty fault name"));
    if (word.rfind("unplug@", 0) == 0) {
        const std::string_view where = word.substr(7);
        for (const UnplugPoint& p : unplugPoints()) {
            if (unplugOptionName(p) != where) continue;
            if (use.bootloaderOnly && !reachedByBootloader(p)) {
                return refuse(error,
                              "--simulate-fault: " + std::string(word) + " " + kOnlyBootloaders);
            }
            if (c.unplug) {
                return refuse(error, "--simulate-fault: the cable comes out at one point only (" +
                                         unplugOptionName(*c.unplug) + " and " +
                                         std::string(where) + ")");
            }
            c.unplug = p;
            return true;
        }
        return refuse(error, faultError("unknown point \"" + std::string(where) + "\""));
    }
    const size_t colon = word.find(':');
    const std::string_view name = word.substr(0, colon);
    for (const FaultKind& f : kFaults) {
        if (name != f.name) continue;
        if (use.bootloaderOnly && !f.bootloader) {
            return refuse(error, "--simulate-fault: " + std::string(name) + " " + kOnlyBootloaders);
        }
        int count = 0;
        if (f.counted) {
            std::optional<int> n;
            if (colon != std::string_view::npos) {
                n = parseNumber(word.substr(colon + 1), 1, kMaxFaultCount);
            }
            if (!n) {
                return refuse(error, "--simulate-fault: " + std::string(name) +
                                         " needs a count from 1 to 99, e.g. " + f.name + ":3");
            }
            count = *n;
        } else if (colon != std::string_view::npos) {
            return refuse(error, "--simulate-fault: " + std::string(name) + " takes no count");
        }
        f.set(c, count);
        return true;
    }
    return refuse(error, faultError("unknown fault \"" + std::string(word) + "\""));
}

// --- The model -------------------------------------------------------------------

std::optional<SimulationConfig> parseModel(const std::string& text, const SimulationUse& use,
                                           std::string* error) {
    const std::string option = "--simulate=" + text + ": ";
    SimulationConfig c;
    c.gps.japanese = !use.bootloaderOnly;
    c.startMode = use.bootloaderOnly ? GpsMode::FlashBootloader : GpsMode::Application;
    const std::vector<std::string_view> parts = split(text, ':');

    std::optional<int> type = parseNumber(parts[0], 0, 16);
    if (use.bootloaderOnly) {
        type = parseNumber(parts[0], 4, 76);
        if (type && *type > 16 && *type < 4 + kJapaneseProductIdOffset) type.reset();
        if (!type) {
            return fail(error, option +
                                   "the device type must be 4 to 16, or 64 to 76 for a "
                                   "Japanese device");
        }
        if (*type > 16) {
            *type -= kJapaneseProductIdOffset;
            c.gps.japanese = true;
            if (parts.size() > 1 && parts[1] == "std") {
                return fail(error, option + "product id " + std::string(parts[0]) +
                                       " is a Japanese device's, not std");
            }
        }
    } else if (!type) {
        return fail(error, option + "the device type must be a number from 0 to 16");
    }
    c.gps.deviceType = *type;

    size_t i = 1;
    if (i < parts.size() && (parts[i] == "jp" || parts[i] == "std")) {
        c.gps.japanese = parts[i] == "jp";
        ++i;
    }
    if (i < parts.size() && (parts[i].find('.') != std::string_view::npos || allDigits(parts[i]))) {
        const std::vector<std::string_view> version = split(parts[i], '.');
        std::optional<int> major, minor;
        if (version.size() == 2) {
            major = parseNumber(version[0], 0, 127);
            minor = parseNumber(version[1], 0, 127);
        }
        if (version.size() == 1) {
            return fail(error, option + "the version " + std::string(parts[i]) +
                                   " has no dot: write MAJOR.MINOR, e.g. 7.62");
        }
        if (!major || !minor) {
            return fail(error,
                        option + "the version must be MAJOR.MINOR with numbers from 0 to 127");
        }
        c.gps.versionMajor = *major;
        c.gps.versionMinor = *minor;
        ++i;
    }
    if (i < parts.size()) {
        const std::string_view mode = parts[i];
        if (mode == "app") {
            c.startMode = GpsMode::Application;
        } else if (mode == "bootloader") {
            c.startMode = GpsMode::FlashBootloader;
        } else if (mode == "rom") {
            c.startMode = GpsMode::RomBootloader;
        }
        if (mode == "app" || mode == "bootloader" || mode == "rom") ++i;
    }
    if (i < parts.size()) {
        if (parts[i].empty())
            return fail(error, option + "an empty part; expected " + kModelSyntax);
        return fail(error, option + "unknown part \"" + std::string(parts[i]) + "\": expected " +
                               kModelSyntax);
    }
    if (use.bootloaderOnly && c.startMode == GpsMode::Application) {
        return fail(error, option + "app " + kOnlyBootloaders + " (start in bootloader or rom)");
    }
    if (c.startMode != GpsMode::Application && (c.gps.deviceType < 4 || c.gps.deviceType > 16)) {
        return fail(error, option + "a GPS that starts in a bootloader is of type 4 to 16");
    }
    return c;
}

}  // namespace

bool wantsFaultHelp(const SimulationArgs& args) {
    return args.faults && *args.faults == "help";
}

std::optional<SimulationConfig> parseSimulation(const SimulationArgs& args, std::string* error,
                                                const SimulationUse& use) {
    if (!args.simulate) {
        if (args.drive) return fail(error, "--simulate-drive needs --simulate");
        if (args.faults) return fail(error, "--simulate-fault needs --simulate");
        if (args.replug) return fail(error, "--simulate-replug needs --simulate");
        return fail(error, "--simulate is missing");
    }
    std::optional<SimulationConfig> config = parseModel(*args.simulate, use, error);
    if (!config) return std::nullopt;
    SimulationConfig& c = *config;

    if (args.drive) {
        if (use.bootloaderOnly)
            return fail(error, std::string("--simulate-drive ") + kOnlyBootloaders);
        if (*args.drive == "none") {
            c.gps.faults.driveMissing = true;
        } else {
            namespace fs = std::filesystem;
            std::error_code ec;
            const fs::file_status status = fs::status(*args.drive, ec);
            if (!fs::exists(status)) {
                return fail(error, "--simulate-drive=" + *args.drive + ": no such folder");
            }
            if (!fs::is_directory(status)) {
                return fail(error, "--simulate-drive=" + *args.drive + ": not a folder");
            }
            const fs::path folder = fs::canonical(*args.drive, ec);
            if (ec) return fail(error, "--simulate-drive=" + *args.drive + ": " + ec.message());
            c.gps.driveFolder = folder.string();
        }
    }

    if (args.faults) {
        if (wantsFaultHelp(args))
            return fail(error, "--simulate-fault=help lists the faults alone");
        for (std::string_view word : split(*args.faults, ',')) {
            if (!addFault(c, word, use, error)) return std::nullopt;
        }
    }

    if (args.replug) {
        if (!c.unplug) return fail(error, "--simulate-replug goes with an unplug@ fault");
        if (*args.replug == "never") {
            c.replugAfterMs = -1;
        } else {
            char* end = nullptr;
            const double seconds = std::strtod(args.replug->c_str(), &end);
            if (args.replug->empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
                seconds > kMaxReplugSeconds) {
                return fail(error, "--simulate-replug=" + *args.replug +
                                       ": a number of seconds from 0 to 3600, or never");
            }
            c.replugAfterMs = std::llround(seconds * 1000);
        }
    }
    return config;
}

std::string simulationFaultHelp(const SimulationUse& use) {
    // The name, then what it does from column 36, wrapped at 80.
    auto row = [](const std::string& name, const std::string& what) {
        constexpr size_t kColumn = 36, kWidth = 80;
        std::string text = "  " + name;
        text += text.size() < kColumn ? std::string(kColumn - text.size(), ' ')
                                      : "\n" + std::string(kColumn, ' ');
        size_t lineStart = text.size() - kColumn;
        size_t at = 0;
        while (at < what.size()) {
            size_t end = what.find(' ', at);
            if (end == std::string::npos) end = what.size();
            const std::string word = what.substr(at, end - at);
            if (text.size() - lineStart + word.size() > kWidth &&
                text.size() - lineStart > kColumn) {
                text.pop_back();  // the space before the word
                text += "\n" + std::string(kColumn, ' ');
                lineStart = text.size() - kColumn;
            }
            text += word + " ";
            at = end + 1;
        }
        text.back() = '\n';
        return text;
    };
    std::string text = "Faults of the simulated GPS (--simulate-fault=NAME[,NAME...]):\n";
    for (const FaultKind& f : kFaults) {
        if (use.bootloaderOnly && !f.bootloader) continue;
        text += row(std::string(f.name) + (f.counted ? ":N" : ""), f.what);
    }
    text += use.bootloaderOnly
                ? "The cable pulled (one point at most):\n"
                : "The cable pulled at one point of the update (one at most), and plugged back\n"
                  "in after --simulate-replug=SECONDS (default 4) or never:\n";
    for (const UnplugPoint& p : unplugPoints()) {
        if (use.bootloaderOnly && !reachedByBootloader(p)) continue;
        text += row("unplug@" + unplugOptionName(p), p.what);
    }
    return text;
}

CablePuller applySimulation(const SimulationConfig& config, SimulatedGps& gps) {
    // The flash bootloader's open failures come back with each of its shows,
    // from the GPS's own faults.
    BootloaderFaults flash = config.bootloaderFaults;
    flash.openFailures = gps.flashBootloader().faults().openFailures;
    gps.flashBootloader().setFaults(flash);
    BootloaderFaults rom = config.bootloaderFaults;
    rom.openFailures = config.romOpenFailures;
    gps.romBootloader().setFaults(rom);

    gps.plugIn(config.startMode);

    // After plugging in, so that a point at a mode's showing is the next one.
    if (!config.unplug) return {};
    const UnplugPoint point = *config.unplug;
    if (point.step) {
        UnplugPlan plan;
        plan.step = *point.step;
        plan.afterWritePercent = point.writePercent;
        plan.plugBackAfterMs = config.replugAfterMs;
        gps.unplugAt(plan);
        return {};
    }
    auto fired = std::make_shared<std::atomic<bool>>(false);
    const int64_t replugMs = config.replugAfterMs;
    SimulatedGps* target = &gps;
    const auto pull = [point, fired, replugMs, target] {
        if (fired->exchange(true)) return;
        target->pullCable(replugMs, "unplugged at " + point.name);
    };
    CablePuller puller;
    puller.onPhase = [point, pull](core::UpdatePhase entered) {
        if (unplugPhaseMatches(point, entered)) pull();
    };
    return puller;
}

}  // namespace sim
