// A bootloader target on a serial port: raw 8-N-1 at the given speed, opened
// for this process alone. Reads return once the bytes asked for came, or
// after 10 ms plus 10 ms per byte.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/Peripheral.h"

namespace bootloader {

class UartPeripheral : public Peripheral {
  public:
    // Opens the port (see portPath), sets raw 8-N-1 at `speed` bits per
    // second and drains what is waiting. Throws std::runtime_error "Error:
    // UartPeripheral() cannot open PC UART port(%s), speed(%d Hz)." when the
    // port cannot be opened or set up, or the speed is not a standard rate.
    UartPeripheral(const char* port, long speed);
    ~UartPeripheral() override;

    UartPeripheral(const UartPeripheral&) = delete;
    UartPeripheral& operator=(const UartPeripheral&) = delete;

    // One read of `requested` bytes (the timeout argument is not used; the
    // port's own read timeout applies): 0 when all came, 5 when fewer did,
    // 1 when the port failed.
    status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                  uint32_t timeoutMs) override;
    // 0 when every byte went out, else 1.
    status_t write(const uint8_t* buffer, uint32_t byteCount) override;

    // The path a port name opens: a name starting with "/" as it stands,
    // any other under "/dev/" ("ttyUSB0" → "/dev/ttyUSB0").
    static std::string portPath(const std::string& name);
    // True for the speeds the port can be set to (the standard rates).
    static bool isSupportedSpeed(long speed);

    // The open port's descriptor (non-blocking), for the bus bridge.
    int portHandle() const { return fd_; }

  protected:
    int fd_ = -1;
    uint8_t scratch_[16] = {};  // the drain at open reads into it
};

}  // namespace bootloader
