// Responses and data phases of the simulated flash bootloader: how a packet
// becomes a report (with the response faults applied), and the data packets
// that flow after write-memory, receive-sb-file, read-memory and
// flash-read-resource.
#include <algorithm>
#include <utility>

#include "sim/BootloaderTarget.h"

namespace sim {

using namespace protocol;

namespace {

using SteadyClock = std::chrono::steady_clock;

void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void putLength(uint8_t* report, uint32_t length) {
    report[2] = static_cast<uint8_t>(length);
    report[3] = static_cast<uint8_t>(length >> 8);
}

}  // namespace

// --- Responses -----------------------------------------------------------------

bool BootloaderTarget::faultHits(uint8_t commandTag, bool first, bool last) const {
    const uint32_t bit = commandBit(commandTag);
    const bool command = bit ? (faults_.commandMask & bit) != 0
                             : faults_.commandMask == BootloaderFaults::kAllCommands;
    if (!command) return false;
    switch (faults_.responses) {
        case FaultedResponse::First:
            return first;
        case FaultedResponse::Last:
            return last;
        case FaultedResponse::All:
            break;
    }
    return true;
}

bool BootloaderTarget::respond(uint8_t commandTag, uint8_t responseTag,
                               std::vector<uint32_t> params, bool first, bool last, uint8_t flags) {
    const bool hit = faultHits(commandTag, first, last);
    if (hit && faults_.noResponse) return false;

    Report report;
    report.readyAt = SteadyClock::now();
    if (hit && faults_.responseDelayMs > 0) {
        report.readyAt += clock_.realDuration(faults_.responseDelayMs);
    }
    if (hit && faults_.mismatchedCommandTag && responseTag == kCommandTag_GenericResponse &&
        params.size() >= 2) {
        params[1] = faults_.mismatchedCommandTag;
    }
    uint8_t* packet = report.bytes.data() + 4;
    packet[0] = hit && faults_.wrongResponseTag ? faults_.wrongResponseTag : responseTag;
    packet[1] = flags;
    packet[2] = 0;
    packet[3] = static_cast<uint8_t>(params.size());
    for (size_t i = 0; i < params.size(); ++i) put32(packet + 4 + 4 * i, params[i]);
    const uint32_t length = static_cast<uint32_t>(4 + 4 * params.size());

    report.bytes[0] = hit && faults_.wrongReportId ? faults_.wrongReportId
                                                   : static_cast<uint8_t>(kReportId_CommandIn);
    putLength(report.bytes.data(), hit && faults_.lengthField >= 0
                                       ? static_cast<uint32_t>(faults_.lengthField)
                                       : length);
    if (hit && faults_.shortReportMissingBytes > 0) {
        const size_t whole = 4 + length;
        const size_t missing = static_cast<size_t>(faults_.shortReportMissingBytes);
        report.size = whole > missing ? whole - missing : 0;
    }
    if (hit) {
        for (int i = 0; i < faults_.zeroLengthReportsBefore; ++i) {
            queueZeroLength(kReportId_CommandIn);
            queue_.back().readyAt = report.readyAt;
        }
    }
    queue_.push_back(report);
    wake_.notify_all();
    return true;
}

bool BootloaderTarget::generic(uint8_t commandTag, int32_t status, bool first, bool last) {
    return respond(commandTag, kCommandTag_GenericResponse,
                   {static_cast<uint32_t>(status), commandTag}, first, last);
}

void BootloaderTarget::queueZeroLength(uint8_t reportId) {
    Report report;
    report.bytes[0] = reportId;
    report.readyAt = SteadyClock::now();
    queue_.push_back(report);
    wake_.notify_all();
}

// --- Data phases -----------------------------------------------------------------

void BootloaderTarget::startDataOut(uint8_t tag, uint32_t address, uint32_t count, bool toFlash) {
    phase_ = DataPhase{};
    phase_.kind = Phase::DataOut;
    phase_.tag = tag;
    phase_.address = address;
    phase_.remaining = count;
    phase_.toFlash = toFlash;
    checkDataPhaseFaults();
}

void BootloaderTarget::startDataIn(uint8_t tag, uint32_t address, uint32_t count,
                                   std::vector<uint8_t> source) {
    const uint8_t responseTag = tag == kCommandTag_ReadMemory
                                    ? kCommandTag_ReadMemoryResponse
                                    : kCommandTag_FlashReadResourceResponse;
    const uint8_t flags = count > 0 ? kCommandFlag_HasDataPhase : 0;
    if (!respond(tag, responseTag, {kStatus_Success, count}, true, false, flags)) {
        return;  // the host never learns of the data, so none is sent
    }
    if (count == 0) {
        generic(tag, kStatus_Success, false, true);
        return;
    }
    phase_ = DataPhase{};
    phase_.kind = Phase::DataIn;
    phase_.tag = tag;
    phase_.address = address;
    phase_.remaining = count;
    phase_.source = std::move(source);
    checkDataPhaseFaults();
}

bool BootloaderTarget::checkDataPhaseFaults() {
    const int packets = phase_.packets;
    if (faults_.unplugAfterDataPackets == packets) {
        // Whatever is already on its way out still arrives; then the device is gone.
        phase_.silent = true;
        if (queue_.empty()) {
            dropOffBus();
        } else {
            queue_.back().unplugAfter = true;
        }
        return true;
    }
    if (faults_.silenceAfterDataPackets == packets) {
        phase_.silent = true;
        return true;
    }
    if (faults_.abortAfterDataPackets == packets) {
        const uint8_t tag = phase_.tag;
        // The host reads data reports while receiving, command reports while sending.
        queueZeroLength(phase_.kind == Phase::DataIn ? kReportId_DataIn : kReportId_CommandIn);
        endPhase();
        generic(tag, faults_.abortStatus, false, true);
        return true;
    }
    return false;
}

void BootloaderTarget::handleDataOut(const uint8_t* packet, uint32_t length) {
    if (phase_.kind != Phase::DataOut) {
        ++stray_;
        return;
    }
    ++dataReceived_;
    if (phase_.silent) return;
    if (length == 0) {
        handleHostAbort();
        return;
    }
    const uint32_t n = std::min(length, phase_.remaining);
    if (phase_.toFlash) {
        const int32_t status = flash_.write(phase_.address, packet, n);
        if (status != kFlash_Success) {
            // Stop taking data at once; the host learns why from the final response.
            const uint8_t tag = phase_.tag;
            endPhase();
            queueZeroLength(kReportId_CommandIn);
            generic(tag, status, false, true);
            return;
        }
        phase_.address += n;
    }
    packetDone(n);
}

void BootloaderTarget::produceDataIn() {
    if (phase_.kind != Phase::DataIn || phase_.silent) return;
    const uint32_t n = std::min(kMaxPacketSize, phase_.remaining);
    Report report;
    report.readyAt = SteadyClock::now();
    report.bytes[0] = kReportId_DataIn;
    putLength(report.bytes.data(), n);
    if (phase_.source.empty()) {
        std::vector<uint8_t> bytes = flash_.read(phase_.address, n);
        std::copy(bytes.begin(), bytes.end(), report.bytes.begin() + 4);
    } else {
        std::copy_n(phase_.source.begin() + static_cast<std::ptrdiff_t>(phase_.sourceOffset), n,
                    report.bytes.begin() + 4);
        phase_.sourceOffset += n;
    }
    if (faults_.shortDataPackets && faults_.shortReportMissingBytes > 0) {
        const size_t whole = 4 + n;
        const size_t missing = static_cast<size_t>(faults_.shortReportMissingBytes);
        report.size = whole > missing ? whole - missing : 0;
    }
    queue_.push_back(report);
    ++dataSent_;
    phase_.address += n;
    packetDone(n);
}

void BootloaderTarget::packetDone(uint32_t bytes) {
    phase_.remaining -= bytes;
    ++phase_.packets;
    if (phase_.remaining == 0) {
        const uint8_t tag = phase_.tag;
        endPhase();
        generic(tag, kStatus_Success, false, true);
        return;
    }
    checkDataPhaseFaults();
}

void BootloaderTarget::handleHostAbort() {
    if (phase_.kind == Phase::None) return;  // nothing to abort
    const uint8_t tag = phase_.tag;
    const bool silent = phase_.silent;
    endPhase();
    std::erase_if(queue_, [](const Report& r) { return r.bytes[0] == kReportId_DataIn; });
    if (!silent) generic(tag, kStatus_AbortDataPhase, false, true);
}

void BootloaderTarget::dropOffBus() {
    plugged_ = false;
    queue_.clear();
    endPhase();
    wake_.notify_all();
}

}  // namespace sim
