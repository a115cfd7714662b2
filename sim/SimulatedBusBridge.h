// A simulated bus-bridge adapter on a serial port (the master side of a
// pseudo-terminal pair), with a serial-framed bootloader target on its bus.
//
// It speaks the adapter's byte commands (numbers little-endian):
//   any mode:  00 → "BBIO1" (bit-bang mode), 0F → 01 (hard reset: power-up mode)
//   bit-bang:  01 → "SPI1", 02 → "I2C1", 07 → "CAN1";
//              40 port pin mux → 01 (GPIO configure), 80 port pin level → 01
//              (GPIO set), 20 u32 MHz → 01 (FPGA clock)
//   SPI:       60 u32 kHz → 01, 80..87 (polarity·4 | phase·2 | LSB first) → 01
//   I2C:       70 address → 01, 60 u32 kHz → 01
//   CAN:       40 u32 speed → 01, 30 u32 transmit id → 01, 20 u32 receive id → 01
//   transfer:  04 (SPI) / 08 (I2C) / 03 (CAN), u16 write count, u16 read
//              count, the bytes to write → 01, then the bytes read.
// Written bytes go to the target; read bytes come from what the target has
// to say. With nothing to say, SPI and I2C clock in zeros (the bus always
// delivers the count); CAN delivers only the bytes there are.
// Unknown commands are answered 00; bytes before the first 00 are dropped.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/Clock.h"
#include "sim/PtyServer.h"
#include "sim/SerialTargetEngine.h"

namespace sim {

enum class BridgeCommand {
    BitBang,
    HardReset,
    EnterSpi,
    EnterI2c,
    EnterCan,
    SpiSpeed,
    SpiConfig,
    I2cAddress,
    I2cSpeed,
    CanSpeed,
    CanTxid,
    CanRxid,
    GpioConfigure,
    GpioSet,
    FpgaClock,
    BusWrite,  // a transfer that writes
    BusRead,   // a transfer that reads
};

enum class BridgeMode { PowerUp, BitBang, Spi, I2c, Can };

struct BusBridgeFaults {
    // These commands fail: 00 instead of 01, a wrong text ("...0") for the
    // mode entries, 00 and no data for transfers.
    std::set<BridgeCommand> failing;
    // Each failing command succeeds this many times first.
    int succeedFirst = 0;
    // The adapter answers nothing at all.
    bool silent = false;
};

// What the host set, for tests to look at.
struct BusBridgeState {
    BridgeMode mode = BridgeMode::PowerUp;
    uint32_t spiSpeedKHz = 0;
    uint8_t spiConfig = 0;  // the whole command byte, 0x80..0x87
    uint8_t i2cAddress = 0;
    uint32_t i2cSpeedKHz = 0;
    uint32_t canSpeed = 0;
    uint32_t canTxid = 0;
    uint32_t canRxid = 0;
    std::array<uint8_t, 3> gpioConfigure{};  // port, pin, mux
    std::array<uint8_t, 3> gpioSet{};        // port, pin, level
    uint32_t fpgaClockMHz = 0;
    int bitBangEntries = 0;
    int hardResets = 0;
    uint64_t busWrites = 0;
    uint64_t busReads = 0;
    uint64_t strayBytes = 0;
    // Every command but the transfers, as its bytes came, in order.
    std::vector<std::vector<uint8_t>> commands;
};

class SimulatedBusBridge : public PtyServer {
  public:
    static constexpr uint32_t kMaxTransfer = 4096;

    explicit SimulatedBusBridge(platform::Clock& clock = platform::sharedClock());
    ~SimulatedBusBridge() override;

    SerialTargetEngine& engine() { return engine_; }
    BootloaderTarget& target() { return engine_.target(); }
    FlashModel& flash() { return engine_.flash(); }

    void setFaults(const BusBridgeFaults& faults);
    BusBridgeState state() const;

  protected:
    void onInput(const uint8_t* data, size_t length) override;

  private:
    // With mutex_ held; each returns the bytes it used, 0 when the command
    // is not complete yet.
    size_t process(const uint8_t* c, size_t left);
    size_t modeEntry(BridgeCommand command, uint8_t byte, const char* text, BridgeMode mode);
    size_t setting(BridgeCommand command, const uint8_t* c, size_t size, size_t left);
    size_t transfer(const uint8_t* c, size_t left, bool padReads);
    void answer(uint8_t byte);
    void answer(const std::vector<uint8_t>& bytes);
    // Counts the command and tells whether it fails this time.
    bool fails(BridgeCommand command);

    mutable std::mutex mutex_;
    BusBridgeFaults faults_;
    BusBridgeState state_;
    std::map<BridgeCommand, int> seen_;  // since the faults were set
    std::vector<uint8_t> input_;         // server thread only
    SerialTargetEngine engine_;
};

}  // namespace sim
