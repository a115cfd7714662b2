#include "sim/FlashModel.h"

#include <algorithm>

namespace sim {

FlashModel::FlashModel() : bytes_(kSize, kErasedByte) {}

bool FlashModel::setSectorSize(uint32_t bytes) {
    if (bytes < 256 || bytes > kSize || (bytes & (bytes - 1)) != 0) return false;
    std::lock_guard lock(mutex_);
    sectorSize_ = bytes;
    return true;
}

uint32_t FlashModel::sectorSize() const {
    std::lock_guard lock(mutex_);
    return sectorSize_;
}

bool FlashModel::inRange(uint32_t address, uint64_t length) {
    return static_cast<uint64_t>(address) + length <= kSize;
}

std::vector<uint8_t> FlashModel::read(uint32_t address, uint32_t length) const {
    if (!inRange(address, length)) return {};
    std::lock_guard lock(mutex_);
    return std::vector<uint8_t>(bytes_.begin() + address, bytes_.begin() + address + length);
}

int32_t FlashModel::erase(uint32_t address, uint32_t length) {
    if (!inRange(address, length)) return kFlash_RangeInvalid;
    if (length == 0) return kFlash_Success;
    std::lock_guard lock(mutex_);
    if (address % sectorSize_ != 0 || length % sectorSize_ != 0) return kFlash_AlignmentError;
    std::fill_n(bytes_.begin() + address, length, kErasedByte);
    ++erases_;
    return kFlash_Success;
}

void FlashModel::eraseAll() {
    std::lock_guard lock(mutex_);
    std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    ++erases_;
}

int32_t FlashModel::write(uint32_t address, const uint8_t* data, size_t length) {
    if (!inRange(address, length)) return kFlash_RangeInvalid;
    if (length == 0) return kFlash_Success;
    std::lock_guard lock(mutex_);
    const uint8_t* current = bytes_.data() + address;
    for (size_t i = 0; i < length; ++i) {
        // A bit that is 1 in the new value but 0 in flash cannot be programmed.
        if ((data[i] & static_cast<uint8_t>(~current[i])) != 0) return kFlash_CommandFailure;
    }
    std::copy_n(data, length, bytes_.begin() + address);
    bytesWritten_ += length;
    return kFlash_Success;
}

int32_t FlashModel::preload(uint32_t address, const std::vector<uint8_t>& data) {
    if (!inRange(address, data.size())) return kFlash_RangeInvalid;
    std::lock_guard lock(mutex_);
    std::copy(data.begin(), data.end(), bytes_.begin() + address);
    return kFlash_Success;
}

bool FlashModel::isErased(uint32_t address, uint32_t length) const {
    if (!inRange(address, length)) return false;
    std::lock_guard lock(mutex_);
    return std::all_of(bytes_.begin() + address, bytes_.begin() + address + length,
                       [](uint8_t b) { return b == kErasedByte; });
}

int FlashModel::eraseCount() const {
    std::lock_guard lock(mutex_);
    return erases_;
}

uint64_t FlashModel::bytesWritten() const {
    std::lock_guard lock(mutex_);
    return bytesWritten_;
}

}  // namespace sim
