// One bootloader packet per 36-byte HID report:
//   byte 0 report id (1 command out, 2 data out, 3 command in, 4 data in),
//   byte 1 padding, bytes 2-3 packet length (little-endian, 0..32),
//   bytes 4-35 the packet. A zero-length report aborts a data phase.
#pragma once

#include <cstdint>
#include <utility>

#include "bootloader/Packetizer.h"
#include "bootloader/UsbHidPeripheral.h"

namespace bootloader {

enum UsbHidReportId : uint8_t {
    kUsbHidReportId_CommandOut = 1,
    kUsbHidReportId_DataOut = 2,
    kUsbHidReportId_CommandIn = 3,
    kUsbHidReportId_DataIn = 4,
};

constexpr uint32_t kUsbHidReportSize = 36;
constexpr uint32_t kUsbHidHeaderSize = 4;

class UsbHidPacketizer : public Packetizer {
  public:
    // Takes ownership of the peripheral.
    UsbHidPacketizer(UsbHidPeripheral* peripheral, uint32_t packetTimeoutMs);

    status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) override;
    status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) override;
    void abortPacket() override;
    void sendAck() override {}
    void flush() override {}
    uint32_t getMaxPacketSize() override { return kMaxPacketSize; }
    virtual void drainInput();

    uint32_t continuousReadCount() const { return continuousReadCount_; }
    // Called after each report the device took, with its packet's type and
    // length; not for a report refused or never sent.
    void setReportSent(ReportSent hook) { reportSent_ = std::move(hook); }

  private:
    bool pollForAbortPacket();

    UsbHidPeripheral* hid_;  // the owned peripheral, typed
    uint8_t report_[kUsbHidReportSize] = {};
    uint8_t abortReport_[kUsbHidReportSize] = {};
    uint32_t continuousReadCount_ = 0;
    ReportSent reportSent_;
};

}  // namespace bootloader
