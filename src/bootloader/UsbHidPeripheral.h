// A bootloader target enumerated as a USB HID device, reached through
// hidport (real hidapi or a simulated device). Moves whole 36-byte reports.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/Peripheral.h"

namespace hidport {
struct hid_device;
}

namespace bootloader {

class UsbHidPeripheral : public Peripheral {
  public:
    // Opens the first HID device with these ids; throws std::runtime_error
    // "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x%04x,
    // pid=0x%04x)." when there is none. The serial number is kept, not used.
    UsbHidPeripheral(uint16_t vendorId, uint16_t productId, const std::string& serialNumber);
    ~UsbHidPeripheral() override;

    UsbHidPeripheral(const UsbHidPeripheral&) = delete;
    UsbHidPeripheral& operator=(const UsbHidPeripheral&) = delete;

    // Reads one input report: 0 for four bytes or more, 1 on a read error,
    // 5 for fewer than four bytes (a timeout included).
    status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                  uint32_t timeoutMs) override;
    // Unused: the packetizer writes whole reports through the call below.
    status_t write(const uint8_t*, uint32_t) override { return kStatus_Success; }
    // Writes one output report; 0, or 1 on error or timeout.
    status_t write(const uint8_t* buffer, uint32_t byteCount, uint32_t timeoutMs);

    uint16_t vendorId;
    uint16_t productId;
    std::wstring serialNumber;

  private:
    hidport::hid_device* device_ = nullptr;
};

}  // namespace bootloader
