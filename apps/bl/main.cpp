// quorta-bl: runs one bootloader command against a device in its bootloader
// (or the simulated target) and prints the response.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "blTrace.h"
#include "bootloader/Bootloader.h"
#include "bootloader/Command.h"
#include "bootloader/Logger.h"
#include "hidport/hidport.h"
#include "serialOptions.h"
#include "sim/SimulatedMachine.h"
#include "sim/SimulationOptions.h"

namespace {

constexpr uint16_t kRomVendorId = 0x15A2;
constexpr uint16_t kRomProductId = 0x0073;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: quorta-bl [--usb VID,PID | --simulate[=MODEL] [--simulate-fault=LIST] |\n"
    "                  --port NAME,BAUD [--ping] |\n"
    "                  --bridge NAME,BAUD,FUNCTION[,SETTING...] [--ping] |\n"
    "                  --simulate-serial[=TYPE]] [--json] [-v|-vv] [--timeout MS]\n"
    "                 [--record-trace FILE | --replay-trace FILE [--time-scale=F]]\n"
    "                 COMMAND ARG...\n"
    "\n"
    "Runs one command against a Quorta GPS in its bootloader and prints the response.\n"
    "\n"
    "Options:\n"
    "  --usb VID,PID     USB ids of the device (default 0x15a2,0x0073, the ROM bootloader;\n"
    "                    with --simulate, the ids the simulated GPS shows)\n"
    "  --simulate[=MODEL] run against a simulated GPS in a bootloader; MODEL is\n"
    "                    TYPE[:jp|std][:MAJOR.MINOR][:bootloader|rom]: TYPE 4..16\n"
    "                    (standard unless :jp) or 64..76 (Japanese: the flash\n"
    "                    bootloader's product id), default 5; the GPS starts in its\n"
    "                    flash bootloader, its firmware (default 7.62) at 0xa000, or\n"
    "                    with :rom in the ROM bootloader, its application flash empty\n"
    "  --simulate-fault=LIST faults of the simulated GPS's bootloaders, comma-\n"
    "                    separated, e.g. flash-refuses-writes or unplug@write-50;\n"
    "                    --simulate-fault=help lists them\n"
    "  --json            print the result as JSON only\n"
    "  -v, -vv           more detail; -vv also traces every byte on the wire\n"
    "  --timeout MS      packet timeout in milliseconds (default 5000)\n"
    "  --record-trace FILE  write every USB exchange with the device to FILE\n"
    "  --replay-trace FILE  play FILE back in place of the device (its ids unless\n"
    "                    --usb says otherwise); exits 3 at the first report that\n"
    "                    differs from the recorded one\n"
    "  --time-scale=F    with --replay-trace: run every timeout F times as long\n"
    "  -h, --help        this text\n"
    "\n"
    "Any argument of the form @PATH is replaced by the text of that file (trailing\n"
    "white space removed), for data too long for one command-line argument, e.g.\n"
    "  quorta-bl write-memory 0xa000 @image.hex     (the file holds {{hex digits}})\n"
    "Write @@TEXT for an argument that really starts with @TEXT.\n"
    "\n"
    "Commands:\n"
    "  reset\n"
    "  get-property TAG|NAME [MEMORY_ID]      (get-property list-properties lists them)\n"
    "  set-property TAG VALUE\n"
    "  flash-erase-region ADDRESS BYTE_COUNT\n"
    "  flash-erase-all [MEMORY_ID]\n"
    "  flash-erase-all-unsecure\n"
    "  read-memory ADDRESS BYTE_COUNT [FILE]  (standard output without FILE)\n"
    "  write-memory ADDRESS FILE|{{HEX}} [BYTE_COUNT]\n"
    "  fill-memory ADDRESS BYTE_COUNT PATTERN [word|short|byte]\n"
    "  receive-sb-file FILE\n"
    "  execute ADDRESS ARGUMENT STACK_POINTER\n"
    "  call ADDRESS ARGUMENT\n"
    "  flash-security-disable KEY             (16 hexadecimal digits)\n"
    "  flash-program-once INDEX 4|8 DATA\n"
    "  flash-read-once INDEX 4|8\n"
    "  flash-read-resource ADDRESS BYTE_COUNT OPTION [FILE]\n"
    "  configure-quadspi MEMORY_ID ADDRESS\n"
    "\n"
    "Exit status: 0 when the device answered with status 0, 1 otherwise, 2 for a\n"
    "command line that cannot be used, 3 when a replayed trace differs.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "quorta-bl: %s\n\n%s\n%s", message.c_str(), kUsage, blserial::kUsage);
    return kExitUsage;
}

bool parseId(const std::string& text, uint16_t* id) {
    uint32_t value = 0;
    if (!bootloader::stringToUint(text, &value) || value > 0xFFFF) return false;
    *id = static_cast<uint16_t>(value);
    return true;
}

// "@PATH" → the file's text; "@@TEXT" → "@TEXT".
bool expandArgument(std::string& arg, std::string* error) {
    if (arg.size() < 2 || arg[0] != '@') return true;
    if (arg[1] == '@') {
        arg.erase(0, 1);
        return true;
    }
    std::string path = arg.substr(1);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read argument file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    arg = text.str();
    while (!arg.empty() && std::isspace(static_cast<unsigned char>(arg.back()))) arg.pop_back();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool simulate = false;
    sim::SimulationArgs simulation;
    std::string model = "5";  // --simulate alone
    bool haveUsb = false;
    uint16_t vendorId = kRomVendorId, productId = kRomProductId;
    bool json = false;
    int verbosity = 0;
    uint32_t timeoutMs = 5000;
    std::vector<std::string> args;
    // Serial transports (--port, --bridge, --simulate-serial); USB HID when
    // none is given.
    bootloader::PeripheralConfig serial;
    serial.peripheralKind = 0;
    std::string simulateSerial;
    int transports = 0;
    bltrace::Options traceOptions;

    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const std::string& name, std::string* out) {
            if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0) {
                *out = a.substr(name.size() + 1);
                return true;
            }
            if (a == name && i + 1 < argc) {
                *out = argv[++i];
                return true;
            }
            return false;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(blserial::kUsage, stdout);
            return 0;
        } else if (a == "--") {
            ++i;
            break;
        } else if (a == "--json") {
            json = true;
        } else if (a == "-v") {
            verbosity = 1;
        } else if (a == "-vv") {
            verbosity = 2;
        } else if (a == "--simulate") {
            simulate = true;
        } else if (a.starts_with("--simulate=")) {
            simulate = true;
            model = a.substr(11);
        } else if (a == "--simulate-fault" || a.starts_with("--simulate-fault=")) {
            if (!value("--simulate-fault", &v) || v.empty()) {
                return usageError("--simulate-fault wants NAME[,NAME...]");
            }
            simulation.faults = v;
            if (sim::wantsFaultHelp(simulation)) {
                std::fputs(sim::simulationFaultHelp({.bootloaderOnly = true}).c_str(), stdout);
                return 0;
            }
        } else if (a == "--usb" || a.starts_with("--usb=")) {
            if (!value("--usb", &v)) return usageError("--usb wants VID,PID");
            size_t comma = v.find(',');
            if (comma == std::string::npos || !parseId(v.substr(0, comma), &vendorId) ||
                !parseId(v.substr(comma + 1), &productId)) {
                return usageError("--usb wants VID,PID, e.g. 0x2b29,0x05");
            }
            haveUsb = true;
        } else if (a == "--port" || a.starts_with("--port=")) {
            std::string error;
            if (!value("--port", &v)) return usageError("--port wants NAME,BAUD");
            if (!blserial::parsePort(v, serial, &error)) return usageError(error);
            ++transports;
        } else if (a == "--bridge" || a.starts_with("--bridge=")) {
            std::string error;
            if (!value("--bridge", &v)) return usageError("--bridge wants NAME,BAUD,FUNCTION");
            if (!blserial::parseBridge(v, serial, &error)) return usageError(error);
            ++transports;
        } else if (a == "--ping") {
            serial.pingOnOpen = true;
        } else if (a == "--simulate-serial" || a.starts_with("--simulate-serial=")) {
            simulateSerial = a == "--simulate-serial" ? "uart" : a.substr(18);
            if (simulateSerial.empty()) return usageError("--simulate-serial= wants a TYPE");
            ++transports;
        } else if (a == "--timeout" || a.starts_with("--timeout=")) {
            if (!value("--timeout", &v) || !bootloader::stringToUint(v, &timeoutMs) ||
                timeoutMs == 0) {
                return usageError("--timeout wants a number of milliseconds above 0");
            }
        } else if (a == "--record-trace" || a.starts_with("--record-trace=")) {
            if (!value("--record-trace", &v) || v.empty()) {
                return usageError("--record-trace wants a FILE");
            }
            traceOptions.record = v;
        } else if (a == "--replay-trace" || a.starts_with("--replay-trace=")) {
            if (!value("--replay-trace", &v) || v.empty()) {
                return usageError("--replay-trace wants a FILE");
            }
            traceOptions.replay = v;
        } else if (a == "--time-scale" || a.starts_with("--time-scale=")) {
            if (!value("--time-scale", &v) ||
                !bltrace::parseTimeScale(v, &traceOptions.timeScale)) {
                return usageError("--time-scale wants a number above 0 and at most 100");
            }
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            break;
        }
    }
    for (; i < argc; ++i) args.emplace_back(argv[i]);
    if (args.empty()) return usageError("no command given");
    // Every value is checked before anything starts.
    std::optional<sim::SimulationConfig> simulated;
    if (simulate) simulation.simulate = model;
    if (simulation.simulate || simulation.faults) {
        std::string error;
        simulated = sim::parseSimulation(simulation, &error, {.bootloaderOnly = true});
        if (!simulated) return usageError(error);
    }
    if (transports + (haveUsb || simulate ? 1 : 0) > 1) {
        return usageError(
            "give one transport: --usb/--simulate, --port, --bridge or --simulate-serial");
    }
    if (serial.pingOnOpen && transports == 0) return usageError("--ping is for serial targets");
    if (std::string why = bltrace::check(traceOptions, simulate, transports > 0); !why.empty()) {
        return usageError(why);
    }
    for (auto& a : args) {
        std::string error;
        if (!expandArgument(a, &error)) return usageError(error);
    }

    std::unique_ptr<bootloader::Command> command = bootloader::Command::create(args);
    if (!command) {
        return usageError("'" + args[0] + "' is not a command, or its arguments are not valid");
    }

    // Every message of the library goes to standard output; --json alone
    // keeps it to the JSON text.
    static bootloader::FileLogger logger("quorta-bl");
    bootloader::FileLogger::setSink([](const char* text) { std::fputs(text, stdout); });
    logger.filterLevel = verbosity == 2 ? 7 : verbosity == 1 ? 5 : json ? 1 : 4;
    bootloader::setLogger(&logger);

    // Opened before any device work: a trace that cannot be had ends the run.
    bltrace::Session deviceTrace;
    {
        std::string error;
        if (!deviceTrace.open(traceOptions, std::vector<std::string>(argv + 1, argv + argc),
                              &error)) {
            std::fprintf(stderr, "quorta-bl: %s\n", error.c_str());
            return 1;
        }
        if (!haveUsb && deviceTrace.recordedIds(&vendorId, &productId)) haveUsb = true;
    }

    // The whole simulated GPS, in the bootloader it starts in; it goes (and
    // its temporary drive with it) when the command is done.
    std::unique_ptr<sim::SimulatedMachine> machine;
    if (simulated) {
        machine = std::make_unique<sim::SimulatedMachine>();
        sim::SimulatedGps& gps = machine->addGps(simulated->gps);
        sim::applySimulation(*simulated, gps);
        if (!haveUsb) {
            vendorId = gps.usbVendorId();
            productId = gps.usbProductId();
        }
    }

    std::unique_ptr<sim::PtyServer> serialTarget;
    if (!simulateSerial.empty()) {
        std::string error;
        serialTarget = blserial::startSimulatedSerial(simulateSerial, serial, &error);
        if (!serialTarget) return usageError(error);
    }

    bootloader::PeripheralConfig config = serial;
    if (transports == 0) config.peripheralKind = bootloader::kPeripheralKind_UsbHid;
    config.vendorId = vendorId;
    config.productId = productId;
    config.packetTimeoutMs = timeoutMs;
    config.serialNumber = "0000001";
    try {
        bootloader::Bootloader session(config);
        session.inject(*command);
        session.flush();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", e.what());
        if (!simulate && transports == 0 && !hidport::lastPermissionDeniedNode().empty()) {
            std::fprintf(stderr,
                         "quorta-bl: %s exists but this user may not open it; install the "
                         "udev rules from packaging/linux or run with more rights.\n",
                         hidport::lastPermissionDeniedNode().c_str());
        }
        return deviceTrace.finish(1);
    }

    if (json) {
        std::fputs(command->getResponse().c_str(), stdout);
    } else {
        command->printResponse();
    }
    std::fflush(stdout);
    const auto& values = command->getResponseValues();
    return deviceTrace.finish(!values.empty() && values[0] == 0 ? 0 : 1);
}
