#include "bootloader/SerialPacketizer.h"

#include <cassert>
#include <chrono>
#include <cstring>
#include <thread>

#include "bootloader/Logger.h"
#include "crc/crc16.h"

namespace bootloader {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Between two polls of the line for a start byte.
constexpr uint32_t kPollIntervalMs = 10;
// A ping waits this long for the start of the answer.
constexpr auto kPingWait = std::chrono::milliseconds(500);
// A frame that follows a two-byte frame waits this long, so that the target
// has left its receive routine for the acknowledgement.
constexpr uint32_t kAfterSyncDelayMs = 100;

// The answer to a target's ping: version 0x50010203, options 0, and the CRC
// field as this host has always sent it.
constexpr uint8_t kPingResponseFrame[] = {kFramingPacketStartByte,
                                          kFramingPacketType_PingResponse,
                                          0x03,
                                          0x02,
                                          0x01,
                                          0x50,
                                          0x00,
                                          0x00,
                                          0xAA,
                                          0xEA};

uint16_t frameCrc(const uint8_t* header, const uint8_t* payload, uint32_t length) {
    crc::Crc16 ctx;
    crc::crc16Init(ctx);
    crc::crc16Update(ctx, header, 4);
    if (length) crc::crc16Update(ctx, payload, length);
    return crc::crc16Finalize(ctx);
}

}  // namespace

SerialPacketizer::SerialPacketizer(Peripheral* peripheral, uint32_t timeoutMs)
    : Packetizer(peripheral, timeoutMs) {}

UartPeripheral* SerialPacketizer::getPeripheral() {
    return dynamic_cast<UartPeripheral*>(peripheral_.get());
}

void SerialPacketizer::sleepMs(uint32_t ms) {
    if (sleep_) {
        sleep_(ms);
    } else if (ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// --- Acknowledgements -----------------------------------------------------

status_t SerialPacketizer::sendSyncPacket(uint8_t type) {
    const uint8_t frame[2] = {kFramingPacketStartByte, type};
    status_t status = peripheral_->write(frame, sizeof frame);
    syncSent_ = true;
    if (status != kStatus_Success) {
        logError("Error: cannot send sync packet 0x%x, status = 0x%x\r\n", type, status);
    }
    return status;
}

status_t SerialPacketizer::sendPendingAck() {
    if (isAckNeeded_) {
        isAckNeeded_ = false;
        return sendSyncPacket(kFramingPacketType_Ack);
    }
    if (isAckAbortNeeded_) {
        isAckAbortNeeded_ = false;
        return sendSyncPacket(kFramingPacketType_AckAbort);
    }
    return kStatus_Success;
}

void SerialPacketizer::flush() {
    sendPendingAck();
}

void SerialPacketizer::sendAck() {
    sendSyncPacket(kFramingPacketType_Ack);
}

void SerialPacketizer::abortPacket() {
    assert(isAckNeeded_ && "m_serialContext.isAckNeeded");
    isAckAbortNeeded_ = true;
    isAckNeeded_ = false;
}

// --- Reading the line -------------------------------------------------------

status_t SerialPacketizer::readStartByte() {
    const auto start = SteadyClock::now();
    const auto deadline = start + std::chrono::milliseconds(packetTimeoutMs);
    while (SteadyClock::now() < deadline) {
        uint8_t byte = 0;
        uint32_t got = 0;
        status_t status = peripheral_->read(&byte, 1, &got, packetTimeoutMs);
        if (status != kStatus_Success && status != kStatus_Timeout) return status;
        if (got == 1 && byte == kFramingPacketStartByte) return kStatus_Success;
        sleepMs(kPollIntervalMs);
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    logError("Error: read_start_byte() timedout after %2.3f seconds\n", seconds);
    return kStatus_Timeout;
}

status_t SerialPacketizer::readStartByteAndType(uint8_t* type) {
    status_t status = readStartByte();
    if (status != kStatus_Success) return status;
    uint32_t got = 0;
    status = peripheral_->read(type, 1, &got, packetTimeoutMs);
    if (status == kStatus_Success && got != 1) status = kStatus_Timeout;
    return status;
}

status_t SerialPacketizer::answerTargetPing() {
    // While an acknowledgement, a sync and an abort are all outstanding the
    // target's ping goes unanswered; the read ends as a ping either way.
    if (!(isAckNeeded_ && syncSent_ && isAckAbortNeeded_)) {
        peripheral_->write(kPingResponseFrame, sizeof kPingResponseFrame);
    }
    return kStatus_Ping;
}

status_t SerialPacketizer::readDataPacket(PacketType type, uint8_t header[kFramingHeaderSize],
                                          uint32_t* length) {
    *length = 0;
    header[0] = kFramingPacketStartByte;
    status_t status = readStartByteAndType(&header[1]);
    if (status != kStatus_Success) return status;
    if (header[1] == kFramingPacketType_Ping) return answerTargetPing();
    const uint8_t expected =
        type == kPacketType_Command ? kFramingPacketType_Command : kFramingPacketType_Data;
    if (header[1] != expected) {
        logError("Error: read_data_packet found unexpected packet type 0x%x\r\n", header[1]);
        return kStatus_Fail;
    }
    uint32_t got = 0;
    status = peripheral_->read(&header[2], 2, &got, packetTimeoutMs);
    if (status != kStatus_Success) return status;
    // Never more than the receive buffer holds, whatever the field says.
    uint32_t announced = header[2] | static_cast<uint32_t>(header[3]) << 8;
    *length = announced > kMaxPacketSize ? kMaxPacketSize : announced;
    status = peripheral_->read(&header[4], 2, &got, packetTimeoutMs);
    if (status != kStatus_Success) return status;
    if (*length) {
        status = peripheral_->read(receiveBuffer_, *length, &got, packetTimeoutMs);
        if (status != kStatus_Success) return status;
    }
    return kStatus_Success;
}

// --- Packets ----------------------------------------------------------------

status_t SerialPacketizer::writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) {
    if (!packet || byteCount > kMaxPacketSize) {
        logError("Error: invalid packet or packet size %d\r\n", static_cast<int>(byteCount));
        return kStatus_InvalidArgument;
    }
    if (type != kPacketType_Command && type != kPacketType_Data) {
        logError("Error: invalid packet type %d\r\n", static_cast<int>(type));
        return kStatus_InvalidArgument;
    }
    status_t status = sendPendingAck();
    if (status != kStatus_Success) return status;
    if (syncSent_) {
        syncSent_ = false;
        sleepMs(kAfterSyncDelayMs);
    }

    frame_[0] = kFramingPacketStartByte;
    frame_[1] = type == kPacketType_Command ? kFramingPacketType_Command : kFramingPacketType_Data;
    frame_[2] = static_cast<uint8_t>(byteCount);
    frame_[3] = static_cast<uint8_t>(byteCount >> 8);
    if (byteCount) std::memcpy(frame_ + kFramingHeaderSize, packet, byteCount);
    const uint16_t crc = frameCrc(frame_, frame_ + kFramingHeaderSize, byteCount);
    frame_[4] = static_cast<uint8_t>(crc);
    frame_[5] = static_cast<uint8_t>(crc >> 8);
    const uint32_t frameSize = byteCount + kFramingHeaderSize;

    // A NAK asks for the same frame again, as often as the target asks; the
    // wait ends when the line stays silent past the packet timeout.
    for (;;) {
        status = peripheral_->write(frame_, frameSize);
        if (status != kStatus_Success) return status;
        uint8_t answer = 0;
        status = readStartByteAndType(&answer);
        if (status != kStatus_Success) return status;
        switch (answer) {
            case kFramingPacketType_Ack:
                return kStatus_Success;
            case kFramingPacketType_AckAbort:
                return kStatus_AbortDataPhase;
            case kFramingPacketType_Nak:
                continue;
            default:
                logError(
                    "Error: Unexpected sync byte 0x%x received, expected Ack, AckAbort or "
                    "Nak\r\n",
                    answer);
                return kStatus_InvalidPacketType;
        }
    }
}

status_t SerialPacketizer::readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) {
    if (!packet || !packetLength) {
        logError("Error: invalid packet\r\n");
        return kStatus_InvalidArgument;
    }
    *packetLength = 0;
    syncSent_ = false;
    status_t status = sendPendingAck();
    if (status != kStatus_Success) return status;

    uint8_t header[kFramingHeaderSize];
    uint32_t length = 0;
    // A frame that fails its CRC is asked for again (NAK) until one checks;
    // the wait ends when the line stays silent past the packet timeout.
    for (;;) {
        std::memset(receiveBuffer_, 0, sizeof receiveBuffer_);
        status = readDataPacket(type, header, &length);
        if (status != kStatus_Success) {
            *packetLength = 0;
            return status;
        }
        const uint16_t received = header[4] | static_cast<uint16_t>(header[5] << 8);
        const uint16_t computed = frameCrc(header, receiveBuffer_, length);
        if (received == computed) break;
        logError("Error: invalid crc 0x%x, expected 0x%x\r\n", received, computed);
        sendSyncPacket(kFramingPacketType_Nak);
    }
    isAckNeeded_ = true;
    *packet = receiveBuffer_;
    *packetLength = length;
    return kStatus_Success;
}

// --- Ping -------------------------------------------------------------------

status_t SerialPacketizer::ping(int retries, unsigned int delayMs, PingResponse* response,
                                int speed) {
    const uint8_t pingFrame[2] = {kFramingPacketStartByte, kFramingPacketType_Ping};
    const int attempts = (retries < 0 ? 0 : retries) + 1;
    bool started = false;
    int attempt = 0;
    while (attempt < attempts && !started) {
        ++attempt;
        if (peripheral_->write(pingFrame, sizeof pingFrame) == kStatus_Success) {
            const auto deadline = SteadyClock::now() + kPingWait;
            while (SteadyClock::now() < deadline) {
                uint8_t byte = 0;
                uint32_t got = 0;
                peripheral_->read(&byte, 1, &got, packetTimeoutMs);
                if (got == 1 && byte == kFramingPacketStartByte) {
                    started = true;
                    break;
                }
                sleepMs(kPollIntervalMs);
            }
        }
        if (!started) sleepMs(delayMs);
    }
    if (!started) return kStatus_NoPingResponse;
    logInfo("Ping responded in %d attempt(s)\n", attempt);

    // The rest of the answer (nine bytes) is still crossing the line.
    if (speed != 0) sleepMs(static_cast<uint32_t>(90000 / speed + 20));

    uint8_t type = 0;
    uint32_t got = 0;
    peripheral_->read(&type, 1, &got, packetTimeoutMs);
    if (got != 1 || type != kFramingPacketType_PingResponse) return kStatus_InvalidPacketType;

    uint8_t body[8] = {};
    peripheral_->read(body, sizeof body, &got, packetTimeoutMs);
    crc::Crc16 ctx;
    crc::crc16Init(ctx);
    const uint8_t head[2] = {kFramingPacketStartByte, kFramingPacketType_PingResponse};
    crc::crc16Update(ctx, head, 2);
    crc::crc16Update(ctx, body, 6);
    const uint16_t computed = crc::crc16Finalize(ctx);
    PingResponse answer;
    answer.version = body[0] | body[1] << 8 | body[2] << 16 | static_cast<uint32_t>(body[3]) << 24;
    answer.options = static_cast<uint16_t>(body[4] | body[5] << 8);
    answer.crc16 = static_cast<uint16_t>(body[6] | body[7] << 8);
    if (answer.crc16 != computed) {
        logInfo("Error: ping crc16 failed, received 0x%x, expected 0x%x\n", answer.crc16, computed);
        return kStatus_InvalidCRC;
    }
    logDetail("Framing protocol version = 0x%x, options = 0x%x\n", answer.version, answer.options);
    framingVersion = answer.version;
    framingOptions = answer.options;
    if (response) *response = answer;
    return kStatus_Success;
}

}  // namespace bootloader
