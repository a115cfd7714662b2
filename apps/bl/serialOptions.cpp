#include "serialOptions.h"

#include <exception>
#include <vector>

#include "bootloader/Command.h"
#include "bootloader/UartPeripheral.h"
#include "sim/SerialBootloaderTarget.h"
#include "sim/SimulatedBusBridge.h"

namespace blserial {

const char kUsage[] =
    "Serial transports:\n"
    "  --port NAME,BAUD  a target's UART on serial port NAME (/dev/ttyUSB0, or ttyUSB0\n"
    "                    for the same) at BAUD bits per second\n"
    "  --bridge NAME,BAUD,FUNCTION[,SETTING...]\n"
    "                    a target behind a bus-bridge adapter on serial port NAME:\n"
    "                      spi[,KHZ[,POLARITY,PHASE,LSB_FIRST]]  (default 100,0,0,0)\n"
    "                      i2c[,ADDRESS[,KHZ]]                   (default 0x10,100)\n"
    "                      can[,SPEED[,TXID,RXID]]               (default 0,0x123,0x321)\n"
    "                      gpio-config,PORT,PIN,MUX   gpio-set,PORT,PIN,LEVEL\n"
    "                      fpga-clock,MHZ              (these only configure the adapter)\n"
    "  --ping            ping the serial target before the command\n"
    "  --simulate-serial[=uart|spi|i2c|can]\n"
    "                    run against a simulated serial target, straight on its UART\n"
    "                    (default) or behind a simulated bus bridge\n";

namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

bool number(const std::string& text, uint32_t* value) {
    return bootloader::stringToUint(text, value);
}

bool nameAndSpeed(const std::vector<std::string>& parts, const char* option,
                  bootloader::PeripheralConfig& config, std::string* error) {
    uint32_t baud = 0;
    if (parts.size() < 2 || parts[0].empty() || !number(parts[1], &baud) ||
        !bootloader::UartPeripheral::isSupportedSpeed(static_cast<long>(baud))) {
        *error =
            std::string(option) + " wants a port name and a standard speed, e.g. ttyUSB0,115200";
        return false;
    }
    config.portName = parts[0];
    config.baudRate = static_cast<int32_t>(baud);
    return true;
}

// Optional numeric settings after the function; each present one must parse.
bool settings(const std::vector<std::string>& parts, size_t first,
              std::initializer_list<uint32_t*> fields) {
    size_t i = first;
    for (uint32_t* field : fields) {
        if (i >= parts.size()) return true;
        if (!number(parts[i++], field)) return false;
    }
    return i >= parts.size();
}

bool byteSetting(const std::string& text, uint8_t* out) {
    uint32_t value = 0;
    if (!number(text, &value) || value > 0xFF) return false;
    *out = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

bool parsePort(const std::string& value, bootloader::PeripheralConfig& config, std::string* error) {
    std::vector<std::string> parts = split(value);
    if (parts.size() != 2) {
        *error = "--port wants NAME,BAUD, e.g. ttyUSB0,115200";
        return false;
    }
    if (!nameAndSpeed(parts, "--port", config, error)) return false;
    config.peripheralKind = bootloader::kPeripheralKind_Uart;
    return true;
}

bool parseBridge(const std::string& value, bootloader::PeripheralConfig& config,
                 std::string* error) {
    using bootloader::BusBridgeConfig;
    std::vector<std::string> parts = split(value);
    if (!nameAndSpeed(parts, "--bridge", config, error)) return false;
    if (parts.size() < 3) {
        *error = "--bridge wants NAME,BAUD,FUNCTION[,SETTING...]";
        return false;
    }
    const std::string& f = parts[2];
    BusBridgeConfig c;
    bool ok = true;
    uint32_t i2cAddress = c.i2cAddress;
    if (f == "spi" || f == "1") {
        c.function = BusBridgeConfig::kSpi;
        ok = settings(parts, 3, {&c.spiSpeedKHz, &c.spiPolarity, &c.spiPhase, &c.spiDirection});
    } else if (f == "i2c" || f == "2") {
        c.function = BusBridgeConfig::kI2c;
        ok = settings(parts, 3, {&i2cAddress, &c.i2cSpeedKHz}) && i2cAddress <= 0x7F;
        c.i2cAddress = static_cast<uint8_t>(i2cAddress);
    } else if (f == "can" || f == "3") {
        c.function = BusBridgeConfig::kCan;
        ok = settings(parts, 3, {&c.canSpeed, &c.canTxid, &c.canRxid});
    } else if (f == "gpio-config" || f == "4" || f == "gpio-set" || f == "5") {
        const bool configure = f == "gpio-config" || f == "4";
        c.function = configure ? BusBridgeConfig::kGpioConfigure : BusBridgeConfig::kGpioSet;
        ok = parts.size() == 6 && parts[3].size() == 1 && byteSetting(parts[4], &c.gpioPin) &&
             byteSetting(parts[5], configure ? &c.gpioMux : &c.gpioLevel);
        if (ok) c.gpioPort = parts[3][0];
    } else if (f == "fpga-clock" || f == "6") {
        c.function = BusBridgeConfig::kFpgaClock;
        ok = parts.size() == 4 && number(parts[3], &c.fpgaClockMHz);
    } else {
        *error = "--bridge: unknown function '" + f +
                 "' (spi, i2c, can, gpio-config, gpio-set, fpga-clock)";
        return false;
    }
    if (!ok) {
        *error = "--bridge: the settings of '" + f + "' cannot be used (see --help)";
        return false;
    }
    config.peripheralKind = bootloader::kPeripheralKind_BusBridge;
    config.busBridgeConfig = c;
    return true;
}

std::unique_ptr<sim::PtyServer> startSimulatedSerial(const std::string& type,
                                                     bootloader::PeripheralConfig& config,
                                                     std::string* error) {
    using bootloader::BusBridgeConfig;
    BusBridgeConfig bridge;
    if (type == "spi") {
        bridge.function = BusBridgeConfig::kSpi;
    } else if (type == "i2c") {
        bridge.function = BusBridgeConfig::kI2c;
    } else if (type == "can") {
        bridge.function = BusBridgeConfig::kCan;
    } else if (type != "uart") {
        *error = "--simulate-serial wants uart, spi, i2c or can";
        return nullptr;
    }
    try {
        std::unique_ptr<sim::PtyServer> server;
        if (type == "uart") {
            server = std::make_unique<sim::SerialBootloaderTarget>();
            config.peripheralKind = bootloader::kPeripheralKind_Uart;
        } else {
            server = std::make_unique<sim::SimulatedBusBridge>();
            config.peripheralKind = bootloader::kPeripheralKind_BusBridge;
            config.busBridgeConfig = bridge;
        }
        config.portName = server->path();
        config.baudRate = 115200;
        return server;
    } catch (const std::exception& e) {
        *error = std::string("cannot start the simulated serial target: ") + e.what();
        return nullptr;
    }
}

}  // namespace blserial
