#include "bootloader/Bootloader.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "bootloader/BusBridgeUartPeripheral.h"
#include "bootloader/SerialPacketizer.h"
#include "bootloader/UartPeripheral.h"
#include "bootloader/UsbHidPacketizer.h"
#include "bootloader/UsbHidPeripheral.h"

namespace bootloader {

namespace {

std::string hexArg(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

Bootloader::Bootloader(const PeripheralConfig& config) {
    if (!getLogger()) {
        // Installed once for the life of the process; later sessions reuse it.
        auto* logger = new FileLogger("bootloader");
        logger->filterLevel = kLogTrace;
        logger_ = logger;
        setLogger(logger);
    }
    switch (config.peripheralKind) {
        case kPeripheralKind_Uart: {
            auto* peripheral = new UartPeripheral(config.portName.c_str(), config.baudRate);
            packetizer_ = std::make_unique<SerialPacketizer>(peripheral, config.packetTimeoutMs);
            if (config.pingOnOpen) pingOrRelease(0, 0, config.baudRate);
            break;
        }
        case kPeripheralKind_BusBridge: {
            auto* peripheral = new BusBridgeUartPeripheral(config.portName.c_str(), config.baudRate,
                                                           config.busBridgeConfig);
            packetizer_ = std::make_unique<SerialPacketizer>(peripheral, config.packetTimeoutMs);
            if (config.pingOnOpen) pingOrRelease(3, 0, 0);
            break;
        }
        case kPeripheralKind_UsbHid: {
            // The peripheral opens the device (or throws) before the
            // packetizer takes it over; USB HID targets are never pinged.
            auto* peripheral = new UsbHidPeripheral(config.vendorId, config.productId, "000001");
            auto packetizer =
                std::make_unique<UsbHidPacketizer>(peripheral, config.packetTimeoutMs);
            packetizer->setReportSent(config.reportSent);
            packetizer_ = std::move(packetizer);
            break;
        }
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "Error: Unsupported peripheral type(%d).",
                          config.peripheralKind);
            throw std::runtime_error(text);
        }
    }
}

void Bootloader::pingOrRelease(int retries, unsigned int delayMs, int speed) {
    try {
        ping(retries, delayMs, speed);
    } catch (const std::exception& e) {
        // Closing the packetizer closes the port with it.
        packetizer_.reset();
        throw std::runtime_error(std::string("Error: Initial ping failure: ") + e.what());
    }
}

Bootloader::~Bootloader() {
    flush();
    packetizer_.reset();
}

void Bootloader::flush() {
    if (packetizer_) packetizer_->flush();
}

void Bootloader::ping(int retries, unsigned int delayMs, int speed) {
    flush();
    auto* serial = dynamic_cast<SerialPacketizer*>(packetizer_.get());
    if (!serial) return;  // USB HID needs no ping
    status_t status = serial->ping(retries, delayMs, nullptr, speed);
    if (status != kStatus_Success) {
        flush();
        throw std::runtime_error(getStatusMessage(status));
    }
}

void Bootloader::inject(Command& command) {
    auto start = std::chrono::steady_clock::now();
    if (packetizer_) command.sendTo(*packetizer_);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    logDetail("  - took %2.3f seconds\n", static_cast<double>(ms) / 1000.0);
}

void Bootloader::injectOrThrow(Command& command) {
    inject(command);
    const auto& values = command.getResponseValues();
    int32_t status = values.empty() ? kStatus_NoResponse : static_cast<int32_t>(values[0]);
    if (status != kStatus_Success) throw std::runtime_error(getStatusMessage(status));
}

void Bootloader::execute(uint32_t entryAddress, uint32_t argument, uint32_t stackPointer) {
    Execute command({"execute", hexArg(entryAddress), hexArg(argument), hexArg(stackPointer)});
    command.init();
    logInfo("Inject command '%s'\n", command.getName().c_str());
    injectOrThrow(command);
}

void Bootloader::reset() {
    Reset command({"reset"});
    command.init();
    logInfo("Inject command '%s'\n", command.getName().c_str());
    injectOrThrow(command);
}

uint32_t Bootloader::getPropertyWord(PropertyTag tag) {
    GetProperty command({"get-property", hexArg(tag)});
    command.init();
    logInfo("inject command '%s'\n", command.getName().c_str());
    injectOrThrow(command);
    const auto& values = command.getResponseValues();
    if (values.size() < 2) {
        throw std::runtime_error("Error: the target's response carries no property value.");
    }
    return values[1];
}

uint32_t Bootloader::getVersion() {
    return getPropertyWord(kProperty_CurrentVersion);
}

uint32_t Bootloader::getSecurityState() {
    return getPropertyWord(kProperty_FlashSecurityState);
}

}  // namespace bootloader
