#include "bootloader/BusBridgeUartPeripheral.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bootloader/Logger.h"

namespace bootloader {

namespace {

template <class... Args>
[[noreturn]] void fail(const char* fmt, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, args...);
    throw std::runtime_error(text);
}

[[noreturn]] void fail(const char* text) {
    throw std::runtime_error(text);
}

}  // namespace

BusBridgeUartPeripheral::BusBridgeUartPeripheral(const char* port, long speed,
                                                 const BusBridgeConfig& config)
    : UartPeripheral(port, speed), bridge_(std::make_unique<BusBridge>(fd_)) {
    // A step that throws leaves through the destructors: the bridge goes,
    // then the port closes.
    if (!bridge_->enterBitBangMode()) {
        fail("Error: BusBridgeUartPeripheral() cannot enter BitBang Mode.");
    }
    configure(config);
}

BusBridgeUartPeripheral::~BusBridgeUartPeripheral() = default;

void BusBridgeUartPeripheral::configure(const BusBridgeConfig& c) {
    BusBridge& bridge = *bridge_;
    switch (c.function) {
        case BusBridgeConfig::kSpi:
            if (!bridge.enterSpiMode()) {
                fail("Error: BusBridgeUartPeripheral() cannot enter SPI Mode.");
            }
            if (!bridge.setSpiSpeed(c.spiSpeedKHz)) {
                fail("Error: BusBridgeUartPeripheral() cannot set SPI speed(%d kHz).",
                     static_cast<int>(c.spiSpeedKHz));
            }
            if (!bridge.setSpiConfig(c.spiPolarity, c.spiPhase, c.spiDirection)) {
                fail(
                    "Error: BusBridgeUartPeripheral() cannot set SPI polarity(%s(%d)), "
                    "phase(%s(%d)), and direction(%s(%d)).",
                    c.spiPolarity ? "ActiveLow" : "ActiveHigh", static_cast<int>(c.spiPolarity),
                    c.spiPhase ? "SecondEdge" : "FirstEdge", static_cast<int>(c.spiPhase),
                    c.spiDirection ? "LsbFirst" : "MsbFirst", static_cast<int>(c.spiDirection));
            }
            return;
        case BusBridgeConfig::kI2c:
            if (!bridge.enterI2cMode()) {
                fail("Error: BusBridgeUartPeripheral() cannot enter I2C Mode.");
            }
            if (!bridge.setI2cAddress(c.i2cAddress)) {
                fail("Error: BusBridgeUartPeripheral() cannot set I2C address %02X.",
                     static_cast<unsigned>(c.i2cAddress));
            }
            if (!bridge.setI2cSpeed(c.i2cSpeedKHz)) {
                fail("Error: BusBridgeUartPeripheral() cannot set I2C speed(%d KHz).",
                     static_cast<int>(c.i2cSpeedKHz));
            }
            return;
        case BusBridgeConfig::kCan:
            if (!bridge.enterCanMode()) {
                fail("Error: BusBridgeUartPeripheral() cannot enter CAN Mode.");
            }
            if (!bridge.setCanSpeed(c.canSpeed)) {
                fail("Error: BusBridgeUartPeripheral() cannot set CAN speed(%d).",
                     static_cast<int>(c.canSpeed));
            }
            if (!bridge.setCanTxid(c.canTxid)) {
                fail("Error: BusBridgeUartPeripheral() cannot set CAN txid(0x%x).", c.canTxid);
            }
            if (!bridge.setCanRxid(c.canRxid)) {
                fail("Error: BusBridgeUartPeripheral() cannot set CAN rxid(0x%x).", c.canRxid);
            }
            return;
        case BusBridgeConfig::kGpioConfigure:
            if (!bridge.enterBitBangMode()) {
                fail(
                    "Error: BusBridgeUartPeripheral() cannot enter Bitbang mode for GPIO "
                    "setting.");
            }
            if (!bridge.gpioConfigure(c.gpioPort, c.gpioPin, c.gpioMux)) {
                fail("Error: BusBridgeUartPeripheral() cannot configure GPIO %c,%02X,%02X",
                     c.gpioPort, static_cast<unsigned>(c.gpioPin),
                     static_cast<unsigned>(c.gpioMux));
            }
            return;
        case BusBridgeConfig::kGpioSet:
            if (!bridge.enterBitBangMode()) {
                fail(
                    "Error: BusBridgeUartPeripheral() cannot enter Bitbang mode for GPIO "
                    "setting.");
            }
            if (!bridge.gpioSet(c.gpioPort, c.gpioPin, c.gpioLevel)) {
                fail("Error: BusBridgeUartPeripheral() cannot set GPIO %c,%02X,%02X", c.gpioPort,
                     static_cast<unsigned>(c.gpioPin), static_cast<unsigned>(c.gpioLevel));
            }
            return;
        case BusBridgeConfig::kFpgaClock:
            if (!bridge.enterBitBangMode()) {
                fail(
                    "Error: BusBridgeUartPeripheral() cannot enter Bitbang mode for FPGA clock "
                    "setting.");
            }
            if (!bridge.setFpgaClock(c.fpgaClockMHz)) {
                fail("Error: BusBridgeUartPeripheral() cannot set FPGA clock to %2d MHz",
                     static_cast<int>(c.fpgaClockMHz));
            }
            return;
        default:
            fail("Unsupported BusBridge function type");
    }
}

status_t BusBridgeUartPeripheral::read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                                       uint32_t) {
    const uint32_t n = bridge_->busRead(buffer, requested);
    if (actual) *actual = n;
    if (n < requested) {
        logError("Error: Bus bridge read returned 0\n");
        return kStatus_Timeout;
    }
    return kStatus_Success;
}

status_t BusBridgeUartPeripheral::write(const uint8_t* buffer, uint32_t byteCount) {
    uint32_t offset = 0;
    while (offset < byteCount) {
        const uint32_t piece = std::min(byteCount - offset, BusBridge::kBufferSize);
        // The rest would land out of step with what the target took.
        if (!bridge_->busWrite(buffer + offset, piece)) return kStatus_Fail;
        offset += piece;
    }
    return kStatus_Success;
}

}  // namespace bootloader
