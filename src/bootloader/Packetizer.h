// Carries bootloader packets (command, response and data packets) over a
// Peripheral. USB HID puts one packet in one report; the serial framing wraps
// each packet in a frame with a CRC and acknowledgements.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "bootloader/Peripheral.h"
#include "bootloader/Status.h"

namespace bootloader {

enum PacketType : int { kPacketType_Command = 0, kPacketType_Data = 1 };

// Told of one packet the device took: its type and its length in bytes.
using ReportSent = std::function<void(PacketType type, uint32_t byteCount)>;

constexpr uint32_t kMaxPacketSize = 32;

class Packetizer {
  public:
    // Takes ownership of the peripheral.
    Packetizer(Peripheral* peripheral, uint32_t packetTimeoutMs)
        : packetTimeoutMs(packetTimeoutMs), peripheral_(peripheral) {}
    virtual ~Packetizer() = default;

    Packetizer(const Packetizer&) = delete;
    Packetizer& operator=(const Packetizer&) = delete;

    // `packet` points into the packetizer's own buffer and stays valid until
    // the next transfer.
    virtual status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) = 0;
    virtual status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) = 0;
    virtual void abortPacket() = 0;
    virtual void sendAck() = 0;
    virtual void flush() = 0;
    virtual void finalize() {}  // unused by this system's packetizers
    virtual void beforeTransfer() {}
    virtual void setAbortEnabledHook(bool) {}  // unused by this system's packetizers
    virtual uint32_t getMaxPacketSize() = 0;
    virtual Peripheral* getPeripheral() { return peripheral_.get(); }

    // Framing version and options, filled by the serial packetizer's ping.
    uint32_t framingVersion = 0;
    uint16_t framingOptions = 0;
    uint32_t packetTimeoutMs;
    // While true, data-out packets first poll for an abort from the device.
    bool abortEnabled = false;

  protected:
    std::unique_ptr<Peripheral> peripheral_;
};

}  // namespace bootloader
