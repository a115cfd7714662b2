// Bootloader packets over a serial line. Each packet travels in a frame:
//   0x5A, packet type, length (16-bit LE, 0..32), CRC-16 (LE), payload
// where the CRC (XMODEM) covers the first four bytes and the payload. The
// receiver answers every command or data frame with a two-byte frame: ACK
// (5A A1), NAK (5A A2, "send it again") or ACK-abort (5A A3, "stop this data
// phase"). A ping (5A A6) is answered with 5A A7, the framing version and
// options, and a CRC.
//
// The host acknowledges a received frame lazily: the ACK goes out at the
// start of the next read or write, or on flush.
#pragma once

#include <cstdint>
#include <functional>

#include "bootloader/Packetizer.h"
#include "bootloader/UartPeripheral.h"

namespace bootloader {

enum FramingPacketType : uint8_t {
    kFramingPacketStartByte = 0x5A,
    kFramingPacketType_Ack = 0xA1,
    kFramingPacketType_Nak = 0xA2,
    kFramingPacketType_AckAbort = 0xA3,
    kFramingPacketType_Command = 0xA4,
    kFramingPacketType_Data = 0xA5,
    kFramingPacketType_Ping = 0xA6,
    kFramingPacketType_PingResponse = 0xA7,
};

constexpr uint32_t kFramingHeaderSize = 6;  // start, type, length, CRC

// What a ping brings back.
struct PingResponse {
    uint32_t version = 0;
    uint16_t options = 0;
    uint16_t crc16 = 0;
};

class SerialPacketizer : public Packetizer {
  public:
    using SleepFunction = std::function<void(uint32_t ms)>;

    // Takes ownership of the peripheral (a UartPeripheral or a bus bridge in
    // the application; any Peripheral works).
    SerialPacketizer(Peripheral* peripheral, uint32_t packetTimeoutMs);
    ~SerialPacketizer() override = default;

    status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) override;
    status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) override;
    // Turns the pending ACK of the last received packet into an ACK-abort.
    void abortPacket() override;
    void sendAck() override;
    void flush() override;
    uint32_t getMaxPacketSize() override { return kMaxPacketSize; }
    // The peripheral as a UartPeripheral; null when it is not one.
    UartPeripheral* getPeripheral() override;

    // Pings the target: 10500 when no start byte came in `retries` + 1
    // attempts, 10501 for a wrong answer, 10502 for a wrong CRC, else 0 with
    // the target's version and options in `response` (when given) and in
    // framingVersion and framingOptions. A non-zero `speed` waits for the
    // rest of the answer to cross the line before reading it.
    virtual status_t ping(int retries, unsigned int delayMs, PingResponse* response, int speed);

    // Every sleep of the packetizer goes through this (default: the thread
    // sleeps), so that tests can see the waits.
    void setSleepFunction(SleepFunction sleep) { sleep_ = std::move(sleep); }

    bool isAckNeeded() const { return isAckNeeded_; }
    bool isAckAbortNeeded() const { return isAckAbortNeeded_; }
    bool syncSent() const { return syncSent_; }

  private:
    status_t sendPendingAck();
    status_t sendSyncPacket(uint8_t type);
    status_t readStartByte();
    status_t readStartByteAndType(uint8_t* type);
    status_t readDataPacket(PacketType type, uint8_t header[kFramingHeaderSize], uint32_t* length);
    status_t answerTargetPing();
    void sleepMs(uint32_t ms);

    uint8_t receiveBuffer_[kMaxPacketSize] = {};
    uint8_t frame_[kFramingHeaderSize + kMaxPacketSize] = {};
    bool isAckNeeded_ = false;
    bool syncSent_ = false;
    bool isAckAbortNeeded_ = false;
    SleepFunction sleep_;
};

}  // namespace bootloader
