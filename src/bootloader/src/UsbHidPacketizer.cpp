#include "bootloader/UsbHidPacketizer.h"

#include <cassert>
#include <cstring>

#include "bootloader/Logger.h"

namespace bootloader {

namespace {

// Immediately after a write, a zero-length report is noise and is read again,
// at most this many reads in one call.
constexpr int kMaxZeroLengthReads = 50;
// A drain ends when the device falls silent; a device that never does must
// not hold the host for ever (this is 2 MiB of reports).
constexpr int kMaxDrainReads = 65536;
constexpr uint32_t kAbortPollTimeoutMs = 10;
constexpr uint32_t kReadError = 0xFFFFFFFFu;  // the actual count of a -1 read

}  // namespace

UsbHidPacketizer::UsbHidPacketizer(UsbHidPeripheral* peripheral, uint32_t timeoutMs)
    : Packetizer(peripheral, timeoutMs), hid_(peripheral) {}

status_t UsbHidPacketizer::writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) {
    assert(hid_);
    assert(packet || byteCount == 0);
    uint8_t reportId;
    switch (type) {
        case kPacketType_Command:
            reportId = kUsbHidReportId_CommandOut;
            break;
        case kPacketType_Data:
            reportId = kUsbHidReportId_DataOut;
            break;
        default:
            logError("usbhid: unsupported packet type %d\n", static_cast<int>(type));
            return kStatus_Fail;
    }
    if (byteCount > kMaxPacketSize) {
        logError("usbhid: packet of %u bytes does not fit a report\n", byteCount);
        return kStatus_InvalidArgument;
    }
    if (abortEnabled && reportId == kUsbHidReportId_DataOut && pollForAbortPacket()) {
        logInfo("usb hid detected receiver data abort\n");
        return kStatus_AbortDataPhase;
    }
    std::memset(report_, 0, sizeof report_);
    report_[0] = reportId;
    report_[2] = static_cast<uint8_t>(byteCount & 0xFF);
    report_[3] = static_cast<uint8_t>(byteCount >> 8);
    if (byteCount) std::memcpy(report_ + kUsbHidHeaderSize, packet, byteCount);
    continuousReadCount_ = 0;
    const status_t status = hid_->write(report_, kUsbHidReportSize, packetTimeoutMs);
    if (status == kStatus_Success && reportSent_) reportSent_(type, byteCount);
    return status;
}

bool UsbHidPacketizer::pollForAbortPacket() {
    uint32_t received = 0;
    hid_->read(abortReport_, kUsbHidReportSize, &received, kAbortPollTimeoutMs);
    return received != 0 && received != kReadError;
}

status_t UsbHidPacketizer::readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) {
    assert(hid_ && packet && packetLength);
    *packet = nullptr;
    *packetLength = 0;
    uint8_t expected;
    switch (type) {
        case kPacketType_Command:
            expected = kUsbHidReportId_CommandIn;
            break;
        case kPacketType_Data:
            expected = kUsbHidReportId_DataIn;
            break;
        default:
            logError("usbhid: unsupported packet type %d\n", static_cast<int>(type));
            return kStatus_Fail;
    }

    uint32_t received = 0;
    uint32_t length = 0;
    for (int retry = 0;;) {
        status_t status = hid_->read(report_, kUsbHidReportSize, &received, packetTimeoutMs);
        if (status != kStatus_Success) return status;
        if (retry == 0) ++continuousReadCount_;
        if (report_[0] != expected) {
            logError("usbhid: received unexpected report=%x\n", report_[0]);
            return kStatus_Fail;
        }
        length = report_[2] | (report_[3] << 8);
        if (length != 0) break;
        logInfo("usbhid: received data phase abort\n");
        if (continuousReadCount_ >= 2) break;
        if (++retry >= kMaxZeroLengthReads || received == 0) break;
    }
    // Also refuses lengths above 32: a report never carries more.
    if (received - kUsbHidHeaderSize < length) {
        logError("usbhid: received only %d bytes of packet with length %d\n",
                 static_cast<int>(received - kUsbHidHeaderSize), static_cast<int>(length));
        return kStatus_Fail;
    }
    *packet = report_ + kUsbHidHeaderSize;
    *packetLength = length;
    return kStatus_Success;
}

void UsbHidPacketizer::abortPacket() {
    writePacket(nullptr, 0, kPacketType_Command);
    drainInput();
}

void UsbHidPacketizer::drainInput() {
    for (int i = 0; i < kMaxDrainReads; ++i) {
        uint32_t received = 0;
        hid_->read(report_, kUsbHidReportSize, &received, packetTimeoutMs);
        if (received == 0 || received == kReadError) return;
    }
    logWarning("usbhid: the device kept sending; stopped draining its input\n");
}

}  // namespace bootloader
