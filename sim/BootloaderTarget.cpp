#include "sim/BootloaderTarget.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

using namespace protocol;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Parameters each command takes (fewest, most).
struct Arity {
    uint8_t least;
    uint8_t most;
};
constexpr Arity kArity[18] = {
    {0, 0},  // no command has tag 0
    {0, 1},  // flash-erase-all: [memory id]
    {2, 2},  // flash-erase-region: start, count
    {2, 2},  // read-memory: start, count
    {2, 2},  // write-memory: start, count
    {3, 3},  // fill-memory: start, count, pattern
    {2, 2},  // flash-security-disable: key words
    {1, 2},  // get-property: tag [, memory id]
    {1, 1},  // receive-sb-file: count
    {3, 3},  // execute: entry, argument, stack pointer
    {2, 2},  // call: address, argument
    {0, 0},  // reset
    {2, 2},  // set-property: tag, value
    {0, 0},  // flash-erase-all-unsecure
    {3, 4},  // flash-program-once: index, count, word [, word]
    {2, 2},  // flash-read-once: index, count
    {3, 3},  // flash-read-resource: start, count, option
    {2, 2},  // configure-quadspi: memory id, configuration address
};

// Commands a secured target still serves: enough to look at it and to unsecure it.
constexpr uint32_t kAllowedWhenSecure =
    commandBit(kCommandTag_FlashSecurityDisable) | commandBit(kCommandTag_GetProperty) |
    commandBit(kCommandTag_Reset) | commandBit(kCommandTag_SetProperty) |
    commandBit(kCommandTag_FlashEraseAllUnsecure);

// The response carries the status and at most six more words in 32 bytes.
constexpr size_t kMaxPropertyWords = 6;

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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

BootloaderTarget::BootloaderTarget(uint16_t vendorId, uint16_t productId, platform::Clock& clock)
    : vendorId_(vendorId), productId_(productId), clock_(clock) {
    properties_ = {
        {kProperty_CurrentVersion, {versionWord('Q', 1, 4, 0)}},
        {kProperty_AvailablePeripherals, {0x10}},  // USB HID
        {kProperty_FlashStartAddress, {0}},
        {kProperty_FlashSizeInBytes, {FlashModel::kSize}},
        {kProperty_FlashSectorSize, {FlashModel::kDefaultSectorSize}},
        {kProperty_FlashBlockCount, {2}},
        {kProperty_AvailableCommands, {0xFFFF}},  // all but configure-quadspi
        {kProperty_CrcCheckStatus, {static_cast<uint32_t>(kStatus_AppCrcCheckInactive)}},
        {kProperty_VerifyWrites, {1}},
        {kProperty_MaxPacketSize, {kMaxPacketSize}},
        {kProperty_ReservedRegions, {0, 0, 0, 0}},
        {kProperty_ValidateRegions, {1}},
        {kProperty_RamStartAddress, {0x1FFF0000}},
        {kProperty_RamSizeInBytes, {0x40000}},
        {kProperty_SystemDeviceId, {0x23160190}},
        {kProperty_FlashSecurityState, {0}},
        {kProperty_UniqueDeviceId, {0x00000000, 0x00270000u | productId, 0x51554F52, 0x54410001}},
        {kProperty_FlashFacSupport, {0}},
        {kProperty_FlashReadMargin, {0}},
        {kProperty_TargetVersion, {versionWord('T', 1, 0, 0)}},
    };
    programOnce_.fill(0xFFFFFFFFu);
    std::vector<uint8_t> ifr(256);
    for (size_t i = 0; i < ifr.size(); ++i) ifr[i] = static_cast<uint8_t>(0xA5 ^ i);
    resources_[0] = std::move(ifr);
    resources_[1] = {0x01, 0x02, 0x00, 0x00, 0x51, 0x47, 0x50, 0x53};
}

BootloaderTarget::~BootloaderTarget() = default;

// --- The HID device ----------------------------------------------------------

bool BootloaderTarget::open() {
    std::lock_guard lock(mutex_);
    if (!plugged_) return false;
    if (faults_.openFailures > 0) {
        --faults_.openFailures;
        return false;
    }
    ++openHandles_;
    ++opens_;
    queue_.clear();
    return true;
}

void BootloaderTarget::close() {
    std::lock_guard lock(mutex_);
    if (openHandles_ > 0) --openHandles_;
    wake_.notify_all();
}

int BootloaderTarget::read(unsigned char* data, size_t length, int milliseconds) {
    if (!data) return -1;
    std::unique_lock lock(mutex_);
    const bool unbounded = milliseconds < 0;
    const auto deadline = unbounded ? SteadyClock::time_point::max()
                                    : SteadyClock::now() + clock_.realDuration(milliseconds);
    for (;;) {
        if (!plugged_ || openHandles_ == 0 || faults_.readErrors) return -1;
        auto now = SteadyClock::now();
        if (!faults_.hung) {
            if (queue_.empty()) produceDataIn();
            if (!queue_.empty() && queue_.front().readyAt <= now) {
                Report report = queue_.front();
                queue_.pop_front();
                size_t n = std::min(report.size, length);
                std::memcpy(data, report.bytes.data(), n);
                if (report.unplugAfter) dropOffBus();
                return static_cast<int>(n);
            }
        }
        if (!unbounded && now >= deadline) return 0;
        auto wakeAt = deadline;
        if (!faults_.hung && !queue_.empty()) wakeAt = std::min(wakeAt, queue_.front().readyAt);
        if (wakeAt == SteadyClock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, wakeAt);
        }
    }
}

int BootloaderTarget::write(const unsigned char* data, size_t length, int milliseconds) {
    std::function<void()> resetHook;
    std::function<void(uint32_t, uint32_t, uint32_t)> executeHook;
    uint32_t executeArgs[3] = {0, 0, 0};
    {
        std::unique_lock lock(mutex_);
        if (!data || length == 0 || length > kReportLength) return -1;
        if (!plugged_ || openHandles_ == 0) return -1;
        if (faults_.hung) {
            // A hung target never takes the report: the transfer times out.
            auto until = [this] { return !faults_.hung || !plugged_; };
            if (milliseconds < 0) {
                wake_.wait(lock, until);
            } else {
                wake_.wait_for(lock, clock_.realDuration(milliseconds), until);
            }
            if (faults_.hung || !plugged_) return -1;
        }
        std::array<uint8_t, kReportLength> report{};
        std::memcpy(report.data(), data, length);
        const uint32_t packetLength = report[2] | static_cast<uint32_t>(report[3]) << 8;
        if (packetLength > kMaxPacketSize) {
            ++stray_;
        } else if (report[0] == kReportId_CommandOut) {
            if (packetLength == 0) {
                handleHostAbort();
            } else {
                handleCommand(report.data() + 4, packetLength);
            }
        } else if (report[0] == kReportId_DataOut) {
            handleDataOut(report.data() + 4, packetLength);
        } else {
            ++stray_;
        }
        if (resetPending_) {
            resetPending_ = false;
            resetHook = resetHook_;
        }
        if (executePending_) {
            executePending_ = false;
            executeHook = executeHook_;
            std::copy(std::begin(executeArgs_), std::end(executeArgs_), executeArgs);
        }
    }
    // Outside the lock: a restart hook may well call back into the target.
    if (resetHook) resetHook();
    if (executeHook) executeHook(executeArgs[0], executeArgs[1], executeArgs[2]);
    return static_cast<int>(length);
}

// --- Commands ------------------------------------------------------------------

void BootloaderTarget::handleCommand(const uint8_t* packet, uint32_t length) {
    const uint8_t tag = packet[0];
    commands_.push_back(tag);
    // A new command ends whatever data phase the host walked away from.
    endPhase();
    const uint32_t count = length >= 4 ? packet[3] : 0;
    if (length < 4 || count > 7 || length < 4 + 4 * count) {
        generic(tag, kStatus_InvalidArgument);
        return;
    }
    uint32_t params[7] = {};
    for (uint32_t i = 0; i < count; ++i) params[i] = get32(packet + 4 + 4 * i);
    dispatch(tag, params, static_cast<uint8_t>(count));
}

void BootloaderTarget::dispatch(uint8_t tag, const uint32_t* p, uint8_t count) {
    const uint32_t available = propertyWord(kProperty_AvailableCommands, 0, 0);
    if (tag < kCommandTag_FlashEraseAll || tag > kCommandTag_ConfigureQuadSpi ||
        !(available & commandBit(tag))) {
        generic(tag, kStatus_UnknownCommand);
        return;
    }
    if (isSecure() && !(kAllowedWhenSecure & commandBit(tag))) {
        generic(tag, kStatus_SecurityViolation);
        return;
    }
    if (count < kArity[tag].least || count > kArity[tag].most) {
        generic(tag, kStatus_InvalidArgument);
        return;
    }

    switch (tag) {
        case kCommandTag_FlashEraseAll:
        case kCommandTag_FlashEraseAllUnsecure: {
            const uint32_t memoryId = tag == kCommandTag_FlashEraseAll && count > 0 ? p[0] : 0;
            if (memoryId == 1) {
                generic(tag, kStatus_QspiNotConfigured);
                return;
            }
            if (memoryId != 0) {
                generic(tag, kStatus_InvalidArgument);
                return;
            }
            // The bootloader never erases its own reserved sectors.
            const uint32_t start = propertyWord(kProperty_ReservedRegions, 0, 0);
            const uint32_t end = propertyWord(kProperty_ReservedRegions, 1, 0);
            if (start == end) {
                flash_.eraseAll();
            } else {
                const uint32_t sector = flash_.sectorSize();
                const uint32_t below = std::min(start / sector * sector, FlashModel::kSize);
                const uint64_t above = std::min<uint64_t>(
                    (static_cast<uint64_t>(end) / sector + 1) * sector, FlashModel::kSize);
                flash_.erase(0, below);
                flash_.erase(static_cast<uint32_t>(above),
                             static_cast<uint32_t>(FlashModel::kSize - above));
            }
            if (tag == kCommandTag_FlashEraseAllUnsecure) {
                properties_[kProperty_FlashSecurityState] = {0};
            }
            generic(tag, kStatus_Success);
            return;
        }
        case kCommandTag_FlashEraseRegion: {
            int32_t status = checkWritable(p[0], p[1]);
            if (status == kStatus_Success) status = flash_.erase(p[0], p[1]);
            generic(tag, status);
            return;
        }
        case kCommandTag_ReadMemory: {
            if (!FlashModel::inRange(p[0], p[1])) {
                respond(tag, kCommandTag_ReadMemoryResponse,
                        {static_cast<uint32_t>(kStatus_MemoryRangeInvalid), 0}, true, true);
                return;
            }
            startDataIn(tag, p[0], p[1], {});
            return;
        }
        case kCommandTag_WriteMemory: {
            int32_t status = checkWritable(p[0], p[1]);
            if (status != kStatus_Success || p[1] == 0) {
                generic(tag, status);
                return;
            }
            generic(tag, kStatus_Success, true, false);
            startDataOut(tag, p[0], p[1], true);
            return;
        }
        case kCommandTag_FillMemory: {
            int32_t status = checkWritable(p[0], p[1]);
            if (status == kStatus_Success && p[1] > 0) {
                std::vector<uint8_t> bytes(p[1]);
                for (size_t i = 0; i < bytes.size(); ++i) {
                    bytes[i] = static_cast<uint8_t>(p[2] >> (8 * (i % 4)));
                }
                status = flash_.write(p[0], bytes);
            }
            generic(tag, status);
            return;
        }
        case kCommandTag_FlashSecurityDisable: {
            if (!isSecure()) {
                generic(tag, kStatus_Success);
            } else if (p[0] == backdoorKey_[0] && p[1] == backdoorKey_[1]) {
                properties_[kProperty_FlashSecurityState] = {0};
                generic(tag, kStatus_Success);
            } else {
                generic(tag, kStatus_FlashAccessError);
            }
            return;
        }
        case kCommandTag_GetProperty: {
            auto it = properties_.find(p[0]);
            if (it == properties_.end()) {
                respond(tag, kCommandTag_GetPropertyResponse,
                        {static_cast<uint32_t>(kStatus_UnknownProperty)}, true, true);
                return;
            }
            std::vector<uint32_t> words{kStatus_Success};
            words.insert(words.end(), it->second.begin(), it->second.end());
            respond(tag, kCommandTag_GetPropertyResponse, std::move(words), true, true);
            return;
        }
        case kCommandTag_ReceiveSbFile: {
            if (p[0] == 0) {
                generic(tag, kStatus_Success);
                return;
            }
            generic(tag, kStatus_Success, true, false);
            startDataOut(tag, 0, p[0], false);
            return;
        }
        case kCommandTag_Execute:
            generic(tag, kStatus_Success);
            executePending_ = true;
            std::copy(p, p + 3, executeArgs_);
            return;
        case kCommandTag_Call:
            // Nothing runs here; a call outside the flash has nowhere to go.
            generic(tag,
                    FlashModel::inRange(p[0], 4) ? kStatus_Success : kStatus_MemoryRangeInvalid);
            return;
        case kCommandTag_Reset:
            generic(tag, kStatus_Success);
            ++resets_;
            resetPending_ = true;
            return;
        case kCommandTag_SetProperty: {
            int32_t status = kStatus_Success;
            if (p[0] == kProperty_VerifyWrites || p[0] == kProperty_ValidateRegions) {
                properties_[p[0]] = {p[1]};
            } else if (p[0] == kProperty_FlashReadMargin) {
                if (p[1] <= 2) {
                    properties_[p[0]] = {p[1]};
                } else {
                    status = kStatus_InvalidPropertyValue;
                }
            } else {
                status =
                    properties_.count(p[0]) ? kStatus_ReadOnlyProperty : kStatus_UnknownProperty;
            }
            generic(tag, status);
            return;
        }
        case kCommandTag_FlashProgramOnce: {
            const uint32_t index = p[0];
            const uint32_t bytes = p[1];
            const uint32_t words = bytes / 4;
            if (!((bytes == 4 && count == 3) || (bytes == 8 && count == 4)) ||
                index + words > kProgramOnceWords) {
                generic(tag, kStatus_InvalidArgument);
                return;
            }
            for (uint32_t i = 0; i < words; ++i) {
                if (programOnce_[index + i] != 0xFFFFFFFFu) {
                    generic(tag, kStatus_FlashAccessError);  // a record programs once only
                    return;
                }
            }
            for (uint32_t i = 0; i < words; ++i) programOnce_[index + i] = p[2 + i];
            generic(tag, kStatus_Success);
            return;
        }
        case kCommandTag_FlashReadOnce: {
            const uint32_t index = p[0];
            const uint32_t bytes = p[1];
            if ((bytes != 4 && bytes != 8) || index + bytes / 4 > kProgramOnceWords) {
                respond(tag, kCommandTag_FlashReadOnceResponse,
                        {static_cast<uint32_t>(kStatus_InvalidArgument), 0}, true, true);
                return;
            }
            std::vector<uint32_t> words{kStatus_Success, bytes};
            for (uint32_t i = 0; i < bytes / 4; ++i) words.push_back(programOnce_[index + i]);
            respond(tag, kCommandTag_FlashReadOnceResponse, std::move(words), true, true);
            return;
        }
        case kCommandTag_FlashReadResource: {
            const uint32_t start = p[0];
            const uint32_t bytes = p[1];
            auto it = resources_.find(p[2]);
            int32_t status = kStatus_Success;
            if (it == resources_.end()) {
                status = kStatus_InvalidArgument;
            } else if (start % 4 != 0 || bytes % 4 != 0) {
                status = kStatus_FlashAlignmentError;
            } else if (static_cast<uint64_t>(start) + bytes > it->second.size()) {
                status = kStatus_MemoryRangeInvalid;
            }
            if (status != kStatus_Success) {
                respond(tag, kCommandTag_FlashReadResourceResponse,
                        {static_cast<uint32_t>(status), 0}, true, true);
                return;
            }
            startDataIn(tag, 0, bytes,
                        std::vector<uint8_t>(it->second.begin() + start,
                                             it->second.begin() + start + bytes));
            return;
        }
        case kCommandTag_ConfigureQuadSpi:
            // Only reachable when a test made the command available.
            properties_[kProperty_QspiInitStatus] = {kStatus_Success};
            generic(tag, kStatus_Success);
            return;
        default:
            generic(tag, kStatus_UnknownCommand);
            return;
    }
}

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
    phase_.remaining -= n;
    ++phase_.packets;
    if (phase_.remaining == 0) {
        const uint8_t tag = phase_.tag;
        endPhase();
        generic(tag, kStatus_Success, false, true);
        return;
    }
    checkDataPhaseFaults();
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
    phase_.remaining -= n;
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

// --- Memory and properties -------------------------------------------------------

int32_t BootloaderTarget::checkWritable(uint32_t address, uint64_t length) const {
    if (!FlashModel::inRange(address, length)) return kStatus_MemoryRangeInvalid;
    const uint32_t start = propertyWord(kProperty_ReservedRegions, 0, 0);
    const uint32_t end = propertyWord(kProperty_ReservedRegions, 1, 0);
    if (start != end && length > 0 && address <= end && address + length - 1 >= start) {
        return kStatus_MemoryRangeInvalid;
    }
    return kStatus_Success;
}

uint32_t BootloaderTarget::propertyWord(uint32_t tag, size_t index, uint32_t fallback) const {
    auto it = properties_.find(tag);
    if (it == properties_.end() || index >= it->second.size()) return fallback;
    return it->second[index];
}

bool BootloaderTarget::isSecure() const {
    return propertyWord(kProperty_FlashSecurityState, 0, 0) != 0;
}

uint32_t BootloaderTarget::programOnceWord(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kProgramOnceWords) throw std::out_of_range("program-once index");
    return programOnce_[static_cast<size_t>(index)];
}

std::vector<uint8_t> BootloaderTarget::flashResource(uint32_t option) const {
    std::lock_guard lock(mutex_);
    auto it = resources_.find(option);
    return it == resources_.end() ? std::vector<uint8_t>{} : it->second;
}

void BootloaderTarget::setFlashResource(uint32_t option, std::vector<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    resources_[option] = std::move(bytes);
}

void BootloaderTarget::setFaults(const BootloaderFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    wake_.notify_all();
}

BootloaderFaults BootloaderTarget::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void BootloaderTarget::setProperty(uint32_t tag, std::vector<uint32_t> words) {
    if (words.size() > kMaxPropertyWords) {
        throw std::invalid_argument("a property has at most six words");
    }
    std::lock_guard lock(mutex_);
    if (words.empty()) {
        properties_.erase(tag);
    } else {
        properties_[tag] = std::move(words);
    }
}

void BootloaderTarget::removeProperty(uint32_t tag) {
    std::lock_guard lock(mutex_);
    properties_.erase(tag);
}

std::vector<uint32_t> BootloaderTarget::property(uint32_t tag) const {
    std::lock_guard lock(mutex_);
    auto it = properties_.find(tag);
    return it == properties_.end() ? std::vector<uint32_t>{} : it->second;
}

void BootloaderTarget::setCurrentVersion(char letter, uint8_t major, uint8_t minor,
                                         uint8_t bugfix) {
    std::lock_guard lock(mutex_);
    properties_[kProperty_CurrentVersion] = {versionWord(letter, major, minor, bugfix)};
}

bool BootloaderTarget::setFlashSectorSize(uint32_t bytes) {
    std::lock_guard lock(mutex_);
    if (!flash_.setSectorSize(bytes)) return false;
    properties_[kProperty_FlashSectorSize] = {bytes};
    return true;
}

void BootloaderTarget::setReservedFlashRegion(uint32_t start, uint32_t end) {
    std::lock_guard lock(mutex_);
    auto& words = properties_[kProperty_ReservedRegions];
    if (words.size() < 4) words.resize(4, 0);
    words[0] = start == end ? 0 : start;
    words[1] = start == end ? 0 : end;
}

void BootloaderTarget::setSecure(bool secure) {
    std::lock_guard lock(mutex_);
    properties_[kProperty_FlashSecurityState] = {secure ? 1u : 0u};
}

bool BootloaderTarget::secure() const {
    std::lock_guard lock(mutex_);
    return isSecure();
}

void BootloaderTarget::setBackdoorKey(uint32_t word1, uint32_t word2) {
    std::lock_guard lock(mutex_);
    backdoorKey_[0] = word1;
    backdoorKey_[1] = word2;
}

// --- Restarts, cable, counters -----------------------------------------------------

void BootloaderTarget::setResetHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    resetHook_ = std::move(hook);
}

void BootloaderTarget::setExecuteHook(
    std::function<void(uint32_t entry, uint32_t argument, uint32_t stack)> hook) {
    std::lock_guard lock(mutex_);
    executeHook_ = std::move(hook);
}

int BootloaderTarget::resetCount() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

void BootloaderTarget::unplug() {
    std::lock_guard lock(mutex_);
    dropOffBus();
}

void BootloaderTarget::plugIn() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
    queue_.clear();
    endPhase();
    wake_.notify_all();
}

bool BootloaderTarget::pluggedIn() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

bool BootloaderTarget::isOpen() const {
    std::lock_guard lock(mutex_);
    return openHandles_ > 0;
}

int BootloaderTarget::openCount() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::vector<uint8_t> BootloaderTarget::receivedCommands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

uint64_t BootloaderTarget::dataPacketsReceived() const {
    std::lock_guard lock(mutex_);
    return dataReceived_;
}

uint64_t BootloaderTarget::dataPacketsSent() const {
    std::lock_guard lock(mutex_);
    return dataSent_;
}

int BootloaderTarget::strayReports() const {
    std::lock_guard lock(mutex_);
    return stray_;
}

}  // namespace sim
