#include "sim/SerialTargetEngine.h"

#include <algorithm>
#include <cstring>

#include "sim/Crc16.h"

namespace sim {

namespace framing {

uint16_t frameCrc(const uint8_t* header, const uint8_t* payload, uint32_t length) {
    const uint16_t crc = crc16(header, 4);
    return length ? crc16(payload, length, crc) : crc;
}

std::vector<uint8_t> frame(uint8_t type, const uint8_t* payload, uint32_t length) {
    // Sized once, then filled: GCC 12 at -O3 takes the grown copy of a
    // six-byte vector for a write past its end.
    std::vector<uint8_t> bytes(kHeaderSize + length);
    bytes[0] = kStartByte;
    bytes[1] = type;
    bytes[2] = static_cast<uint8_t>(length);
    bytes[3] = static_cast<uint8_t>(length >> 8);
    if (length) std::memcpy(bytes.data() + kHeaderSize, payload, length);
    const uint16_t crc = frameCrc(bytes.data(), bytes.data() + kHeaderSize, length);
    bytes[4] = static_cast<uint8_t>(crc);
    bytes[5] = static_cast<uint8_t>(crc >> 8);
    return bytes;
}

}  // namespace framing

using namespace framing;

namespace {

// The simulated ROM bootloader's USB ids; the target is not on any USB list,
// the ids only show in its unique-id property.
constexpr uint16_t kVendorId = 0x15A2;
constexpr uint16_t kProductId = 0x0073;
// UART, I2C, SPI and CAN: every way this target is reached.
constexpr uint32_t kSerialPeripherals = 0x0F;

// Noise that never contains a start byte.
uint8_t noiseByte(int i) {
    uint8_t b = static_cast<uint8_t>(0x11 + 37 * i);
    return b == kStartByte ? 0x00 : b;
}

}  // namespace

SerialTargetEngine::SerialTargetEngine(platform::Clock& clock)
    : target_(kVendorId, kProductId, clock) {
    target_.setProperty(protocol::kProperty_AvailablePeripherals, {kSerialPeripherals});
    target_.open();
}

SerialTargetEngine::~SerialTargetEngine() {
    target_.close();
}

void SerialTargetEngine::setFaults(const SerialFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    silenced_ = false;
}

SerialFaults SerialTargetEngine::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

SerialTargetStats SerialTargetEngine::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::vector<uint8_t> SerialTargetEngine::hostBytes() const {
    std::lock_guard lock(mutex_);
    return hostBytes_;
}

void SerialTargetEngine::clearHostBytes() {
    std::lock_guard lock(mutex_);
    hostBytes_.clear();
}

size_t SerialTargetEngine::outputSize() const {
    std::lock_guard lock(mutex_);
    return output_.size();
}

size_t SerialTargetEngine::takeOutput(uint8_t* out, size_t max) {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(max, output_.size());
    std::copy_n(output_.begin(), n, out);
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void SerialTargetEngine::receive(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    const size_t keep = std::min(length, kMaxHostBytesKept - hostBytes_.size());
    hostBytes_.insert(hostBytes_.end(), data, data + keep);
    input_.insert(input_.end(), data, data + length);
    parse();
    pump();
}

void SerialTargetEngine::poll() {
    std::lock_guard lock(mutex_);
    pump();
}

// --- From the host ----------------------------------------------------------------

void SerialTargetEngine::parse() {
    size_t pos = 0;
    while (pos < input_.size()) {
        const size_t left = input_.size() - pos;
        if (input_[pos] != kStartByte) {
            ++stats_.strayBytes;
            ++pos;
            continue;
        }
        if (left < 2) break;
        const uint8_t type = input_[pos + 1];
        switch (type) {
            case kAck:
                ++stats_.acks;
                awaitingAck_ = false;
                pos += 2;
                continue;
            case kNak:
                ++stats_.naks;
                pos += 2;
                if (awaitingAck_) emitFrame(lastFrame_);
                continue;
            case kAckAbort: {
                ++stats_.ackAborts;
                pos += 2;
                awaitingAck_ = false;
                // The host's abort: a zero-length command report to the target.
                const uint8_t abort[4] = {protocol::kReportId_CommandOut, 0, 0, 0};
                target_.write(abort, sizeof abort, 0);
                continue;
            }
            case kPing:
                ++stats_.pings;
                pos += 2;
                emitPingResponse();
                continue;
            case kCommand:
            case kData: {
                if (left < kHeaderSize) break;
                const uint8_t* header = input_.data() + pos;
                const uint32_t length = header[2] | static_cast<uint32_t>(header[3]) << 8;
                if (length > kMaxPayload) {
                    // No such frame: look for the next start byte.
                    ++stats_.strayBytes;
                    ++pos;
                    continue;
                }
                if (left < kHeaderSize + length) break;
                const uint8_t* payload = header + kHeaderSize;
                const uint16_t crc = header[4] | static_cast<uint16_t>(header[5] << 8);
                if (crc != frameCrc(header, payload, length)) {
                    ++stats_.badCrcFrames;
                    ++stats_.naksSent;
                    emitSync(kNak);
                } else if (faults_.nakFrames != 0) {
                    if (faults_.nakFrames > 0) --faults_.nakFrames;
                    ++stats_.naksSent;
                    emitSync(kNak);
                } else {
                    takeFrame(type, payload, length);
                }
                pos += kHeaderSize + length;
                continue;
            }
            default:
                ++stats_.strayBytes;
                ++pos;
                continue;
        }
        break;  // a frame not yet complete
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void SerialTargetEngine::takeFrame(uint8_t type, const uint8_t* payload, uint32_t length) {
    uint8_t report[BootloaderTarget::kReportLength] = {};
    report[2] = static_cast<uint8_t>(length);
    report[3] = static_cast<uint8_t>(length >> 8);
    std::memcpy(report + 4, payload, length);

    if (type == kCommand) {
        ++stats_.commandFrames;
        // A new command: whatever the target still had to say is dropped
        // (reopening empties the target's queue).
        awaitingAck_ = false;
        stash_.clear();
        target_.close();
        target_.open();
        emitSync(kAck);
        report[0] = protocol::kReportId_CommandOut;
        target_.write(report, sizeof report, 0);
        return;
    }

    ++stats_.dataFrames;
    report[0] = protocol::kReportId_DataOut;
    target_.write(report, sizeof report, 0);
    // A target that cannot take the data says so at once: a zero-length
    // command report comes ahead of its final response.
    Report next;
    if (readReport(next)) {
        const uint32_t nextLength = next.bytes[2] | static_cast<uint32_t>(next.bytes[3]) << 8;
        if (next.bytes[0] == protocol::kReportId_CommandIn && nextLength == 0) {
            ++stats_.ackAbortsSent;
            emitSync(kAckAbort);
            return;
        }
        stash_.push_back(next);
    }
    emitSync(kAck);
}

// --- To the host ------------------------------------------------------------------

bool SerialTargetEngine::readReport(Report& report) {
    const int n = target_.read(report.bytes.data(), report.bytes.size(), 0);
    if (n <= 0) return false;
    report.size = static_cast<size_t>(n);
    return true;
}

void SerialTargetEngine::pump() {
    while (!awaitingAck_ && !quiet()) {
        Report report;
        if (!stash_.empty()) {
            report = stash_.front();
            stash_.pop_front();
        } else if (!readReport(report)) {
            return;
        }
        OutFrame frame;
        frame.type = report.bytes[0] == protocol::kReportId_DataIn ? kData : kCommand;
        frame.lengthField = report.bytes[2] | static_cast<uint32_t>(report.bytes[3]) << 8;
        const size_t delivered = report.size > 4 ? report.size - 4 : 0;
        const size_t carried = std::min<size_t>({delivered, frame.lengthField, kMaxPayload});
        frame.payload.assign(report.bytes.begin() + 4,
                             report.bytes.begin() + 4 + static_cast<std::ptrdiff_t>(carried));
        lastFrame_ = frame;
        awaitingAck_ = true;
        emitFrame(frame);
    }
}

bool SerialTargetEngine::frameFaultHits(uint8_t type) const {
    return faults_.frameType == 0 || faults_.frameType == type;
}

void SerialTargetEngine::emit(const std::vector<uint8_t>& bytes) {
    if (quiet()) return;
    for (int i = 0; i < faults_.garbageBytes; ++i) output_.push_back(noiseByte(i));
    auto it = bytes.begin();
    if (faults_.startByte && !bytes.empty()) {
        output_.push_back(faults_.startByte);
        ++it;
    }
    output_.insert(output_.end(), it, bytes.end());
}

void SerialTargetEngine::emitSync(uint8_t type) {
    emit({kStartByte, type});
}

void SerialTargetEngine::emitPingResponse() {
    if (faults_.ignorePing) return;
    std::vector<uint8_t> bytes = {kStartByte, kPingResponse};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(kPingVersion >> (8 * i)));
    bytes.push_back(0);  // options
    bytes.push_back(0);
    uint16_t crc = crc16(bytes.data(), bytes.size());
    if (faults_.badPingCrc) crc ^= 0xFFFF;
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    emit(bytes);
}

void SerialTargetEngine::emitFrame(const OutFrame& frame) {
    if (quiet()) return;
    const bool hit = frameFaultHits(frame.type);
    uint32_t length = frame.lengthField;
    std::vector<uint8_t> payload = frame.payload;
    if (hit && faults_.lengthField >= 0) {
        length = static_cast<uint32_t>(faults_.lengthField);
        faults_.lengthField = -1;
    }
    // A report that announced more than it carried goes out the same way:
    // the header says `length`, the line carries what there is.
    if (length > payload.size() && length != frame.lengthField) payload.resize(length, 0);

    std::vector<uint8_t> bytes = {kStartByte,
                                  hit && faults_.packetType ? faults_.packetType : frame.type,
                                  static_cast<uint8_t>(length),
                                  static_cast<uint8_t>(length >> 8),
                                  0,
                                  0};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    uint16_t crc = frameCrc(bytes.data(), payload.data(),
                            static_cast<uint32_t>(std::min<size_t>(payload.size(), length)));
    if (hit && faults_.badCrcFrames != 0) {
        if (faults_.badCrcFrames > 0) --faults_.badCrcFrames;
        crc ^= 0xFFFF;
    }
    bytes[4] = static_cast<uint8_t>(crc);
    bytes[5] = static_cast<uint8_t>(crc >> 8);
    if (hit && faults_.silenceAfterBytes >= 0) {
        bytes.resize(std::min(bytes.size(), static_cast<size_t>(faults_.silenceAfterBytes)));
        faults_.silenceAfterBytes = -1;
        emit(bytes);
        silenced_ = true;
    } else {
        emit(bytes);
    }
    ++stats_.framesSent;
}

}  // namespace sim
