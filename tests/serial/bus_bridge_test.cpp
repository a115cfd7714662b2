// The bus-bridge peripheral over a real pseudo-terminal against the simulated
// adapter: the set-up bytes of every function, every set-up failure, and
// whole images through SPI, I2C and CAN.
#include <gtest/gtest.h>

#include <string>

#include "SerialSimSupport.h"
#include "bootloader/BusBridgeUartPeripheral.h"
#include "bootloader/SerialPacketizer.h"
#include "sim/SimulatedBusBridge.h"

using namespace serialtest;
using bootloader::Bootloader;
using bootloader::BusBridgeConfig;
using sim::BridgeCommand;

namespace {

class BusBridgeTest : public ::testing::Test {
  protected:
    bootloader::PeripheralConfig config(int32_t function, uint32_t timeoutMs = 1000) {
        bootloader::PeripheralConfig c;
        c.peripheralKind = bootloader::kPeripheralKind_BusBridge;
        c.portName = bridge.path();
        c.baudRate = 115200;
        c.packetTimeoutMs = timeoutMs;
        c.busBridgeConfig.function = function;
        return c;
    }
    std::string openingError(const bootloader::PeripheralConfig& c) {
        try {
            Bootloader session(c);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    }
    std::vector<Bytes> commands() { return bridge.state().commands; }

    RecordingLogger log;
    sim::SimulatedBusBridge bridge;
};

TEST_F(BusBridgeTest, SpiSetUpSendsTheConfigurationByte) {
    auto c = config(BusBridgeConfig::kSpi);
    c.busBridgeConfig.spiSpeedKHz = 500;
    c.busBridgeConfig.spiPolarity = 1;
    c.busBridgeConfig.spiPhase = 0;
    c.busBridgeConfig.spiDirection = 1;
    Bootloader session(c);
    EXPECT_EQ(commands(), (std::vector<Bytes>{{0x00}, {0x01}, {0x60, 0xF4, 0x01, 0, 0}, {0x85}}));
    EXPECT_EQ(bridge.state().spiConfig, 0x85);
    EXPECT_TRUE(log.contains("Entering bit bang mode...\n"));
    EXPECT_TRUE(log.contains("Entered BB mode\n"));
    auto property = run(session, {"get-property", "1"});
    EXPECT_EQ(status(*property), 0u);
}

TEST_F(BusBridgeTest, I2cAndCanSetUpBytes) {
    auto i2c = config(BusBridgeConfig::kI2c);
    i2c.busBridgeConfig.i2cAddress = 0x10;
    i2c.busBridgeConfig.i2cSpeedKHz = 400;
    {
        Bootloader session(i2c);
        EXPECT_EQ(status(*run(session, {"get-property", "1"})), 0u);
    }
    EXPECT_EQ(commands(),
              (std::vector<Bytes>{{0x00}, {0x02}, {0x70, 0x10}, {0x60, 0x90, 0x01, 0, 0}}));

    auto can = config(BusBridgeConfig::kCan);
    can.busBridgeConfig.canSpeed = 4;
    can.busBridgeConfig.canTxid = 0x123;
    can.busBridgeConfig.canRxid = 0x321;
    {
        Bootloader session(can);
        EXPECT_EQ(status(*run(session, {"get-property", "1"})), 0u);
    }
    auto all = commands();
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(std::vector<Bytes>(all.begin() + 4, all.end()),
              (std::vector<Bytes>{{0x00},
                                  {0x07},
                                  {0x40, 0x04, 0, 0, 0},
                                  {0x30, 0x23, 0x01, 0, 0},
                                  {0x20, 0x21, 0x03, 0, 0}}));
}

TEST_F(BusBridgeTest, GpioAndFpgaFunctionsOnlyConfigureTheAdapter) {
    auto gpio = config(BusBridgeConfig::kGpioConfigure);
    gpio.busBridgeConfig.gpioPort = 'B';
    gpio.busBridgeConfig.gpioPin = 5;
    gpio.busBridgeConfig.gpioMux = 2;
    gpio.busBridgeConfig.gpioLevel = 1;
    EXPECT_EQ(openingError(gpio), "opened");
    gpio.busBridgeConfig.function = BusBridgeConfig::kGpioSet;
    EXPECT_EQ(openingError(gpio), "opened");
    auto fpga = config(BusBridgeConfig::kFpgaClock);
    fpga.busBridgeConfig.fpgaClockMHz = 48;
    EXPECT_EQ(openingError(fpga), "opened");
    EXPECT_EQ(commands(), (std::vector<Bytes>{{0x00},
                                              {0x00},
                                              {0x40, 'B', 5, 2},
                                              {0x00},
                                              {0x00},
                                              {0x80, 'B', 5, 1},
                                              {0x00},
                                              {0x00},
                                              {0x20, 48, 0, 0, 0}}));

    // Without a bus there is nothing to carry a command.
    Bootloader session(config(BusBridgeConfig::kFpgaClock, 200));
    EXPECT_EQ(status(*run(session, {"get-property", "1"})), 10004u);
    EXPECT_TRUE(log.contains("Error: Bus bridge is in no bus mode; nothing written\n"));
}

struct SetUpFailure {
    int32_t function;
    BridgeCommand failing;
    int succeedFirst;
    std::string cannot;  // what the step could not do
    std::string logged;
};

class BusBridgeSetUpFailure : public BusBridgeTest,
                              public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(BusBridgeSetUpFailure, ThrowsTheStepsMessageAndClosesThePort) {
    const SetUpFailure& f = GetParam();
    auto c = config(f.function);
    c.busBridgeConfig.spiSpeedKHz = 500;
    c.busBridgeConfig.spiPolarity = 1;
    c.busBridgeConfig.spiPhase = 0;
    c.busBridgeConfig.spiDirection = 1;
    c.busBridgeConfig.i2cAddress = 0x10;
    c.busBridgeConfig.i2cSpeedKHz = 400;
    c.busBridgeConfig.canSpeed = 4;
    c.busBridgeConfig.canTxid = 0x123;
    c.busBridgeConfig.canRxid = 0x321;
    c.busBridgeConfig.gpioPort = 'B';
    c.busBridgeConfig.gpioPin = 5;
    c.busBridgeConfig.gpioMux = 2;
    c.busBridgeConfig.gpioLevel = 1;
    c.busBridgeConfig.fpgaClockMHz = 48;
    sim::BusBridgeFaults faults;
    faults.failing = {f.failing};
    faults.succeedFirst = f.succeedFirst;
    bridge.setFaults(faults);
    EXPECT_EQ(openingError(c), "Error: BusBridgeUartPeripheral() cannot " + f.cannot);
    if (!f.logged.empty()) {
        EXPECT_TRUE(log.contains(f.logged)) << log.all();
    }
    // The port was closed and can be opened again.
    bridge.setFaults({});
    EXPECT_EQ(openingError(c), "opened");
}

constexpr BusBridgeConfig::Function kSpi = BusBridgeConfig::kSpi;
constexpr BusBridgeConfig::Function kI2c = BusBridgeConfig::kI2c;
constexpr BusBridgeConfig::Function kCan = BusBridgeConfig::kCan;
constexpr BusBridgeConfig::Function kGpioConfigure = BusBridgeConfig::kGpioConfigure;
constexpr BusBridgeConfig::Function kGpioSet = BusBridgeConfig::kGpioSet;
constexpr BusBridgeConfig::Function kFpga = BusBridgeConfig::kFpgaClock;

// Each step's failure: the rest of "Error: BusBridgeUartPeripheral() cannot ",
// and what the step logs of its own ("" for nothing).
std::string bad(const char* what) {
    return std::string("Error: bad response to ") + what + ", response byte = 0x0\n";
}
const SetUpFailure kSetUpFailures[] = {
    {kSpi, BridgeCommand::BitBang, 0, "enter BitBang Mode.", "Error: enter bit bang mode failed\n"},
    {kSpi, BridgeCommand::EnterSpi, 0, "enter SPI Mode.", ""},
    {kSpi, BridgeCommand::SpiSpeed, 0, "set SPI speed(500 kHz).", bad("Spi Set Speed")},
    {kSpi, BridgeCommand::SpiConfig, 0,
     "set SPI polarity(ActiveLow(1)), phase(FirstEdge(0)), and direction(LsbFirst(1)).",
     "Error: bad response from Set Spi Config\n"},
    {kI2c, BridgeCommand::EnterI2c, 0, "enter I2C Mode.", ""},
    {kI2c, BridgeCommand::I2cAddress, 0, "set I2C address 10.", bad("Set I2c Address")},
    {kI2c, BridgeCommand::I2cSpeed, 0, "set I2C speed(400 KHz).", bad("I2c Set Speed")},
    {kCan, BridgeCommand::EnterCan, 0, "enter CAN Mode.", ""},
    {kCan, BridgeCommand::CanSpeed, 0, "set CAN speed(4).", bad("Can Set Speed")},
    {kCan, BridgeCommand::CanTxid, 0, "set CAN txid(0x123).", bad("Can Set Txid")},
    {kCan, BridgeCommand::CanRxid, 0, "set CAN rxid(0x321).", bad("Can Set Rxid")},
    {kGpioConfigure, BridgeCommand::BitBang, 1, "enter Bitbang mode for GPIO setting.",
     "Dumping any remaining data...\n"},
    {kGpioConfigure, BridgeCommand::GpioConfigure, 0, "configure GPIO B,05,02", bad("Gpio Set")},
    {kGpioSet, BridgeCommand::BitBang, 1, "enter Bitbang mode for GPIO setting.", ""},
    {kGpioSet, BridgeCommand::GpioSet, 0, "set GPIO B,05,01", bad("Gpio Set")},
    {kFpga, BridgeCommand::BitBang, 1, "enter Bitbang mode for FPGA clock setting.", ""},
    {kFpga, BridgeCommand::FpgaClock, 0, "set FPGA clock to 48 MHz", bad("FPGA Set Clock")},
};
INSTANTIATE_TEST_SUITE_P(EveryStep, BusBridgeSetUpFailure, ::testing::ValuesIn(kSetUpFailures));

TEST_F(BusBridgeTest, UnknownFunctionIsRefusedAfterBitBangEntry) {
    EXPECT_EQ(openingError(config(9)), "Unsupported BusBridge function type");
    EXPECT_EQ(commands(), std::vector<Bytes>{{0x00}});
    EXPECT_EQ(openingError(config(kSpi)), "opened");  // the port was given back
}

TEST_F(BusBridgeTest, SilentAdapterAndBusFailures) {
    sim::BusBridgeFaults faults;
    faults.silent = true;
    bridge.setFaults(faults);
    EXPECT_EQ(openingError(config(kSpi)),
              "Error: BusBridgeUartPeripheral() cannot enter BitBang Mode.");
    EXPECT_TRUE(log.contains("Entering bit bang mode...\n"));

    // A bus write the adapter refuses: the frame is not sent, no response.
    bridge.setFaults({});
    Bootloader session(config(kSpi, 200));
    faults = {};
    faults.failing = {BridgeCommand::BusWrite};
    bridge.setFaults(faults);
    EXPECT_EQ(status(*run(session, {"get-property", "1"})), 10004u);
    EXPECT_TRUE(log.contains("Error: bad response to spi write, response byte = 0x0\n"));

    // A bus read it refuses: the answer never comes.
    faults.failing = {BridgeCommand::BusRead};
    bridge.setFaults(faults);
    EXPECT_EQ(status(*run(session, {"get-property", "1"})), 10004u);
    EXPECT_TRUE(log.contains("Error: bad response to spi read, response byte 0 = 0x0\n"));
    EXPECT_TRUE(log.contains("Error: Bus bridge read returned 0\n"));
}

TEST_F(BusBridgeTest, HardResetAndDrain) {
    bootloader::BusBridgeUartPeripheral port(bridge.path().c_str(), 115200, BusBridgeConfig{});
    EXPECT_EQ(port.bridge()->busMode(), bootloader::BusBridge::kModeSpi);
    EXPECT_TRUE(port.bridge()->hardReset());
    EXPECT_EQ(bridge.state().hardResets, 1);
    EXPECT_EQ(port.bridge()->busMode(), bootloader::BusBridge::kModeNone);
    // In power-up mode the adapter answers nothing but 00 and 0F.
    EXPECT_FALSE(port.bridge()->enterSpiMode());
    EXPECT_TRUE(port.bridge()->enterBitBangModeRaw());
    // An unknown command is answered 00, which the drain then finds nothing after.
    EXPECT_EQ(port.bridge()->writeCommand(0x55), 0x00);
    port.bridge()->drain();
    EXPECT_TRUE(log.contains("Flushing data...\n"));
    EXPECT_TRUE(log.contains("Done flushing.\n"));
    EXPECT_FALSE(log.contains("Flushed "));
}

class BusBridgeImage : public BusBridgeTest,
                       public ::testing::WithParamInterface<BusBridgeConfig::Function> {};

// The bridge's timing leaves no slack on a loaded machine (a reply later than the
// host's read window puts the byte stream out of step), so the suite moves an
// image large enough to cross many bus transfers but not a whole one.
constexpr size_t kBridgeImageBytes = 32768;

TEST_P(BusBridgeImage, ImageWrittenAndReadBackEqual) {
    const Image image(kBridgeImageBytes, 11 + GetParam());
    TempFile readBack("bridge-readback.bin");
    auto c = config(GetParam(), 2000);
    c.pingOnOpen = true;
    {
        Bootloader session(c);
        auto write = run(session, {"write-memory", "0xa000", image.hex});
        EXPECT_EQ(status(*write), 0u);
        EXPECT_EQ(write->getResponseDetails(), "Wrote 32768 of 32768 bytes.");
        auto read =
            run(session, {"read-memory", "0xa000", hexArg(kBridgeImageBytes), readBack.path});
        EXPECT_EQ(status(*read), 0u);
    }
    EXPECT_EQ(bridge.flash().read(0xa000, kBridgeImageBytes), image.bytes);
    EXPECT_EQ(readBack.read(), image.bytes);
    EXPECT_EQ(bridge.engine().stats().pings, 1);
    EXPECT_GT(bridge.state().busWrites, kBridgeImageBytes / 32);
}

INSTANTIATE_TEST_SUITE_P(Buses, BusBridgeImage,
                         ::testing::Values(BusBridgeConfig::kSpi, BusBridgeConfig::kI2c,
                                           BusBridgeConfig::kCan));

}  // namespace
