// What the simulated flash bootloader lets a test set and read outside the
// protocol: its memory, properties and faults, its restart hooks, the cable,
// and counters of what the host did.
#include <stdexcept>
#include <utility>

#include "sim/BootloaderTarget.h"

namespace sim {

using namespace protocol;

namespace {

// The response carries the status and at most six more words in 32 bytes.
constexpr size_t kMaxPropertyWords = 6;

}  // namespace

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
