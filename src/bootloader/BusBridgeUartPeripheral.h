// A bootloader target behind a bus-bridge adapter on a serial port: the
// adapter is put in bit-bang mode and set up for SPI, I2C or CAN (or, for the
// GPIO and FPGA-clock functions, only configured), and the bootloader's bytes
// then travel as bus writes and reads.
#pragma once

#include <cstdint>
#include <memory>

#include "bootloader/BusBridge.h"
#include "bootloader/UartPeripheral.h"

namespace bootloader {

class BusBridgeUartPeripheral : public UartPeripheral {
  public:
    // Opens the port as UartPeripheral does, enters bit-bang mode and sets the
    // adapter up for `config.function`. Throws std::runtime_error with the
    // step's message ("Error: BusBridgeUartPeripheral() cannot ...") when a
    // step fails, and "Unsupported BusBridge function type" for a function
    // other than 1 to 6; the port is closed again either way.
    BusBridgeUartPeripheral(const char* port, long speed, const BusBridgeConfig& config);
    ~BusBridgeUartPeripheral() override;

    // One bus read of `requested` bytes: 0 when all came, else 5.
    status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                  uint32_t timeoutMs) override;
    // Bus writes of at most 4096 bytes each: 0 when all succeeded, else 1.
    status_t write(const uint8_t* buffer, uint32_t byteCount) override;

    BusBridge* bridge() const { return bridge_.get(); }

  private:
    void configure(const BusBridgeConfig& config);

    std::unique_ptr<BusBridge> bridge_;
};

}  // namespace bootloader
