// The bus-bridge adapter: a byte-command protocol on a serial line that
// forwards to SPI, I2C or CAN. Every command is answered with one byte, 1 for
// success; the mode entries answer with a text ("BBIO1", "SPI1", "I2C1",
// "CAN1"). Numbers go on the wire little-endian.
//
//   00                      bit-bang mode           → "BBIO1"
//   0F                      hard reset              → 01
//   01 / 02 / 07            enter SPI / I2C / CAN   → "SPI1" / "I2C1" / "CAN1"
//   SPI: 60 u32 kHz, 80|polarity<<2|phase<<1|lsbFirst                 → 01
//   I2C: 70 address, 60 u32 kHz                                       → 01
//   CAN: 40 u32 speed, 30 u32 transmit id, 20 u32 receive id          → 01
//   bit-bang: 40 port pin mux (GPIO configure), 80 port pin level (GPIO
//             set), 20 u32 MHz (FPGA clock)                           → 01
//   bus write: 04 (SPI) / 08 (I2C) / 03 (CAN), u16 count, 00 00, data → 01
//   bus read:  the same opcode, 00 00, u16 count       → 01, then the data
#pragma once

#include <cstdint>

namespace bootloader {

// What a bus-bridge peripheral is set up for (PeripheralConfig's
// busBridgeConfig).
struct BusBridgeConfig {
    enum Function : int32_t {
        kSpi = 1,
        kI2c = 2,
        kCan = 3,
        kGpioConfigure = 4,
        kGpioSet = 5,
        kFpgaClock = 6,
    };
    int32_t function = kSpi;
    uint32_t spiSpeedKHz = 100;
    uint32_t spiPolarity = 0;
    uint32_t spiPhase = 0;
    uint32_t spiDirection = 0;  // 1: least significant bit first
    uint8_t i2cAddress = 0x10;
    uint32_t i2cSpeedKHz = 100;
    uint32_t canSpeed = 0;
    uint32_t canTxid = 0x123;
    uint32_t canRxid = 0x321;
    char gpioPort = 'A';
    uint8_t gpioPin = 0;
    uint8_t gpioLevel = 0;
    uint8_t gpioMux = 0;
    uint32_t fpgaClockMHz = 0;
};

class BusBridge {
  public:
    enum BusMode : int { kModeNone = 0, kModeSpi = 1, kModeI2c = 2, kModeCan = 3 };

    static constexpr uint32_t kBufferSize = 4096;
    static constexpr uint32_t kCanFirstReadDelayMs = 100;

    // Talks through `portHandle`, an open serial port it does not own.
    explicit BusBridge(int portHandle);
    virtual ~BusBridge() = default;

    BusBridge(const BusBridge&) = delete;
    BusBridge& operator=(const BusBridge&) = delete;

    virtual bool enterBitBangModeRaw();  // 00 → "BBIO1"
    virtual bool hardReset();            // 0F → 01
    // The raw entry with logging; on failure whatever the adapter still
    // sends is read and dropped.
    virtual bool enterBitBangMode();
    virtual bool enterSpiMode();
    virtual bool enterCanMode();
    virtual bool enterI2cMode();
    // Modes this adapter does not offer.
    virtual bool enterUartMode() { return false; }
    virtual bool enter1WireMode() { return false; }
    virtual bool enterRawWireMode() { return false; }
    virtual bool gpioConfigure(char port, uint8_t pin, uint8_t mux);
    virtual bool gpioSet(char port, uint8_t pin, uint8_t level);
    // Nothing to power on this adapter.
    virtual bool setPower(bool) { return true; }
    virtual bool enterJtagMode() { return false; }
    virtual bool setFpgaClock(uint32_t mhz);
    virtual bool setSpiSpeed(uint32_t kHz);
    virtual bool setSpiConfig(uint32_t polarity, uint32_t phase, uint32_t direction);
    virtual bool setI2cAddress(uint8_t address);
    virtual bool setI2cSpeed(uint32_t kHz);
    virtual bool setCanSpeed(uint32_t speed);
    virtual bool setCanTxid(uint32_t id);
    virtual bool setCanRxid(uint32_t id);

    // Reads `count` bytes (at most kBufferSize) into the receive buffer,
    // looping until all came; null when a read brings nothing.
    virtual const uint8_t* readBytes(uint32_t count);
    // On the current bus; false (write) or 0 bytes (read) without one.
    virtual bool busWrite(const uint8_t* data, uint32_t count);
    virtual uint32_t busRead(uint8_t* data, uint32_t count);

    // Command exchanges: the bytes go out, the answer byte comes back (0 when
    // none came).
    virtual uint8_t writeCommand(const uint8_t* bytes, uint32_t count);
    virtual uint8_t writeCommand(uint8_t command);
    // Writes the command byte and compares the answer with `expected`.
    virtual bool writeCommandExpect(uint8_t command, const char* expected);

    virtual bool spiWrite(const uint8_t* data, uint32_t count);
    virtual bool i2cWrite(const uint8_t* data, uint32_t count);
    virtual bool canWrite(const uint8_t* data, uint32_t count);
    virtual uint32_t spiRead(uint8_t* data, uint32_t count);
    virtual uint32_t canRead(uint8_t* data, uint32_t count);
    virtual uint32_t i2cRead(uint8_t* data, uint32_t count);

    // Reads and drops whatever the adapter still sends, 100 bytes at a time.
    void drain();

    BusMode busMode() const { return mode_; }
    uint64_t bytesWritten() const { return bytesWritten_; }

  private:
    enum class Exchange { Bus, Command };
    // A read that brings nothing is tried once more.
    int portRead(uint8_t* buffer, uint32_t count, Exchange exchange);
    bool portWrite(const uint8_t* buffer, uint32_t count, Exchange exchange);
    bool setWord(uint8_t command, uint32_t value, const char* badResponse);
    bool transferWrite(uint8_t opcode, const uint8_t* data, uint32_t count, int answerReads,
                       const char* commandFailed, const char* badResponse);
    uint32_t transferRead(uint8_t opcode, uint8_t* data, uint32_t count, const char* commandFailed,
                          const char* badResponse);

    int port_;
    uint8_t receiveBuffer_[kBufferSize] = {};
    BusMode mode_ = kModeNone;
    uint64_t bytesWritten_ = 0;
    uint32_t canReadDelayMs_ = kCanFirstReadDelayMs;
};

}  // namespace bootloader
