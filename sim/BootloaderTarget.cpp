#include "sim/BootloaderTarget.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {

using namespace protocol;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Commands a secured target still serves: enough to look at it and to unsecure it.
constexpr uint32_t kAllowedWhenSecure =
    commandBit(kCommandTag_FlashSecurityDisable) | commandBit(kCommandTag_GetProperty) |
    commandBit(kCommandTag_Reset) | commandBit(kCommandTag_SetProperty) |
    commandBit(kCommandTag_FlashEraseAllUnsecure);

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

// Each command's handler, by tag, with the parameters it takes (fewest, most).
const BootloaderTarget::Command BootloaderTarget::kCommands[] = {
    {0, 0, nullptr},                                    // no command has tag 0
    {0, 1, &BootloaderTarget::onFlashEraseAll},         // [memory id]
    {2, 2, &BootloaderTarget::onFlashEraseRegion},      // start, count
    {2, 2, &BootloaderTarget::onReadMemory},            // start, count
    {2, 2, &BootloaderTarget::onWriteMemory},           // start, count
    {3, 3, &BootloaderTarget::onFillMemory},            // start, count, pattern
    {2, 2, &BootloaderTarget::onFlashSecurityDisable},  // key words
    {1, 2, &BootloaderTarget::onGetProperty},           // tag [, memory id]
    {1, 1, &BootloaderTarget::onReceiveSbFile},         // count
    {3, 3, &BootloaderTarget::onExecute},               // entry, argument, stack pointer
    {2, 2, &BootloaderTarget::onCall},                  // address, argument
    {0, 0, &BootloaderTarget::onReset},                 // (none)
    {2, 2, &BootloaderTarget::onSetProperty},           // tag, value
    {0, 0, &BootloaderTarget::onFlashEraseAll},         // the unsecuring erase
    {3, 4, &BootloaderTarget::onFlashProgramOnce},      // index, count, word [, word]
    {2, 2, &BootloaderTarget::onFlashReadOnce},         // index, count
    {3, 3, &BootloaderTarget::onFlashReadResource},     // start, count, option
    {2, 2, &BootloaderTarget::onConfigureQuadSpi},      // memory id, configuration address
};

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
    const Command& command = kCommands[tag];
    if (count < command.least || count > command.most) {
        generic(tag, kStatus_InvalidArgument);
        return;
    }
    (this->*command.handle)(tag, p, count);
}

}  // namespace sim
