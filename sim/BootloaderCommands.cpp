// The commands of the simulated flash bootloader, one handler each. dispatch()
// has already checked that the command is available, allowed in the current
// security state and given a parameter count it takes.
#include <algorithm>
#include <utility>

#include "sim/BootloaderTarget.h"

namespace sim {

using namespace protocol;

// --- Flash and memory ---------------------------------------------------------

void BootloaderTarget::onFlashEraseAll(uint8_t tag, const uint32_t* p, uint8_t count) {
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
}

void BootloaderTarget::onFlashEraseRegion(uint8_t tag, const uint32_t* p, uint8_t) {
    int32_t status = checkWritable(p[0], p[1]);
    if (status == kStatus_Success) status = flash_.erase(p[0], p[1]);
    generic(tag, status);
}

void BootloaderTarget::onReadMemory(uint8_t tag, const uint32_t* p, uint8_t) {
    if (!FlashModel::inRange(p[0], p[1])) {
        respond(tag, kCommandTag_ReadMemoryResponse,
                {static_cast<uint32_t>(kStatus_MemoryRangeInvalid), 0}, true, true);
        return;
    }
    startDataIn(tag, p[0], p[1], {});
}

void BootloaderTarget::onWriteMemory(uint8_t tag, const uint32_t* p, uint8_t) {
    int32_t status = checkWritable(p[0], p[1]);
    if (status != kStatus_Success || p[1] == 0) {
        generic(tag, status);
        return;
    }
    generic(tag, kStatus_Success, true, false);
    startDataOut(tag, p[0], p[1], true);
}

void BootloaderTarget::onFillMemory(uint8_t tag, const uint32_t* p, uint8_t) {
    int32_t status = checkWritable(p[0], p[1]);
    if (status == kStatus_Success && p[1] > 0) {
        std::vector<uint8_t> bytes(p[1]);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(p[2] >> (8 * (i % 4)));
        }
        status = flash_.write(p[0], bytes);
    }
    generic(tag, status);
}

void BootloaderTarget::onReceiveSbFile(uint8_t tag, const uint32_t* p, uint8_t) {
    if (p[0] == 0) {
        generic(tag, kStatus_Success);
        return;
    }
    generic(tag, kStatus_Success, true, false);
    startDataOut(tag, 0, p[0], false);
}

// --- Security and properties ----------------------------------------------------

void BootloaderTarget::onFlashSecurityDisable(uint8_t tag, const uint32_t* p, uint8_t) {
    if (!isSecure()) {
        generic(tag, kStatus_Success);
    } else if (p[0] == backdoorKey_[0] && p[1] == backdoorKey_[1]) {
        properties_[kProperty_FlashSecurityState] = {0};
        generic(tag, kStatus_Success);
    } else {
        generic(tag, kStatus_FlashAccessError);
    }
}

void BootloaderTarget::onGetProperty(uint8_t tag, const uint32_t* p, uint8_t) {
    auto it = properties_.find(p[0]);
    if (it == properties_.end()) {
        respond(tag, kCommandTag_GetPropertyResponse,
                {static_cast<uint32_t>(kStatus_UnknownProperty)}, true, true);
        return;
    }
    std::vector<uint32_t> words{kStatus_Success};
    words.insert(words.end(), it->second.begin(), it->second.end());
    respond(tag, kCommandTag_GetPropertyResponse, std::move(words), true, true);
}

void BootloaderTarget::onSetProperty(uint8_t tag, const uint32_t* p, uint8_t) {
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
        status = properties_.count(p[0]) ? kStatus_ReadOnlyProperty : kStatus_UnknownProperty;
    }
    generic(tag, status);
}

void BootloaderTarget::onConfigureQuadSpi(uint8_t tag, const uint32_t*, uint8_t) {
    // Only reachable when a test made the command available.
    properties_[kProperty_QspiInitStatus] = {kStatus_Success};
    generic(tag, kStatus_Success);
}

// --- Running code ---------------------------------------------------------------

void BootloaderTarget::onExecute(uint8_t tag, const uint32_t* p, uint8_t) {
    generic(tag, kStatus_Success);
    executePending_ = true;
    std::copy(p, p + 3, executeArgs_);
}

void BootloaderTarget::onCall(uint8_t tag, const uint32_t* p, uint8_t) {
    // Nothing runs here; a call outside the flash has nowhere to go.
    generic(tag, FlashModel::inRange(p[0], 4) ? kStatus_Success : kStatus_MemoryRangeInvalid);
}

void BootloaderTarget::onReset(uint8_t tag, const uint32_t*, uint8_t) {
    generic(tag, kStatus_Success);
    ++resets_;
    resetPending_ = true;
}

// --- Program-once field and flash resources -----------------------------------------

void BootloaderTarget::onFlashProgramOnce(uint8_t tag, const uint32_t* p, uint8_t count) {
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
}

void BootloaderTarget::onFlashReadOnce(uint8_t tag, const uint32_t* p, uint8_t) {
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
}

void BootloaderTarget::onFlashReadResource(uint8_t tag, const uint32_t* p, uint8_t) {
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
        respond(tag, kCommandTag_FlashReadResourceResponse, {static_cast<uint32_t>(status), 0},
                true, true);
        return;
    }
    startDataIn(
        tag, 0, bytes,
        std::vector<uint8_t>(it->second.begin() + start, it->second.begin() + start + bytes));
}

}  // namespace sim
