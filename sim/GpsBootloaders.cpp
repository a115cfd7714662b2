// The simulated GPS's two bootloaders on the bus, the steps of the device it
// watches for in their protocol, their restarts, and the one flash behind them.
#include "sim/SimulatedGpsParts.h"

namespace sim {

using namespace gps;

namespace gps {

bool UsbNode::open() {
    if (!alive()) return false;
    if (!inner_->open()) return false;
    std::unique_lock lock(mutex_);
    if (!alive_) {
        lock.unlock();
        inner_->close();
        return false;
    }
    ++opened_;
    return true;
}

void UsbNode::close() {
    bool forward = false;
    {
        std::lock_guard lock(mutex_);
        if (opened_ == 0) return;
        --opened_;
        forward = alive_;  // a dead node already gave its handles back
    }
    if (forward) inner_->close();
    // Nobody is left to read a reset answer: the device need not wait.
    if (auto owner = owner_.lock()) owner->resetAnswerRead();
}

int UsbNode::read(unsigned char* data, size_t length, int milliseconds) {
    if (!alive()) return -1;
    const int n = inner_->read(data, length, milliseconds);
    if (!alive()) return -1;
    if (n >= 13 && data[0] == kCommandInReport && data[4] == kGenericResponseTag &&
        data[12] == protocol::kCommandTag_Reset) {
        if (auto owner = owner_.lock()) owner->resetAnswerRead();
    }
    return n;
}

int UsbNode::write(const unsigned char* data, size_t length, int milliseconds) {
    if (!alive() || !data) return -1;

    const uint8_t id = length > 0 ? data[0] : 0;
    const uint32_t packetLength = length >= 4 ? (data[2] | static_cast<uint32_t>(data[3]) << 8) : 0;
    const bool command = id == kCommandOutReport && packetLength > 0 && length > 4;
    const uint8_t tag = command ? data[4] : 0;
    if (command) {
        std::optional<GpsStep> step;
        if (tag == protocol::kCommandTag_FlashEraseRegion ||
            tag == protocol::kCommandTag_FlashEraseAll ||
            tag == protocol::kCommandTag_FlashEraseAllUnsecure) {
            step = GpsStep::Erase;
        } else if (tag == protocol::kCommandTag_WriteMemory) {
            step = GpsStep::Write;
        } else if (tag == protocol::kCommandTag_Reset) {
            step = GpsStep::BootloaderReset;
        }
        {
            std::lock_guard lock(mutex_);
            dataPackets_ = 0;
        }
        auto owner = owner_.lock();
        std::optional<UnplugPlan> plan;
        if (owner && step) {
            std::lock_guard lock(owner->mutex);
            plan = owner->takePlanLocked(*step);
        }
        if (plan && plan->step == GpsStep::Write && plan->afterWritePercent >= 0) {
            // write-memory's second parameter: the bytes that follow.
            const uint32_t bytes = length >= 16 ? data[12] | data[13] << 8 | data[14] << 16 |
                                                      static_cast<uint32_t>(data[15]) << 24
                                                : 0;
            const uint64_t packets = (uint64_t(bytes) + 31) / 32;
            plan->afterDataPackets =
                static_cast<int>(packets * uint64_t(std::min(plan->afterWritePercent, 100)) / 100);
        }
        if (plan && plan->step == GpsStep::Write && plan->afterDataPackets >= 0) {
            std::lock_guard lock(mutex_);
            armedAfter_ = plan->afterDataPackets;
            armedPlugBack_ = plan->plugBackAfterMs;
        } else if (plan) {
            owner->pullCable(*plan, std::string("unplugged at ") + gpsStepName(plan->step));
            return -1;  // gone before it took the command
        }
    }

    const int written = inner_->write(data, length, milliseconds);
    if (written <= 0) return written;

    std::optional<int> pullAfter;
    int64_t plugBack = -1;
    {
        std::lock_guard lock(mutex_);
        const bool dataPacket = id == kDataOutReport && packetLength > 0;
        if (dataPacket) ++dataPackets_;
        const bool writeCommand = command && tag == protocol::kCommandTag_WriteMemory;
        if (armedAfter_ >= 0 && (writeCommand || dataPacket) && dataPackets_ >= armedAfter_) {
            pullAfter = dataPackets_;
            plugBack = armedPlugBack_;
            armedAfter_ = -1;
        }
    }
    if (pullAfter) {
        if (auto owner = owner_.lock()) {
            UnplugPlan plan{GpsStep::Write, *pullAfter, plugBack};
            owner->pullCable(
                plan, "unplugged at Write after " + std::to_string(*pullAfter) + " data packets");
        }
    }
    return written;
}

void UsbNode::kill() {
    int handles = 0;
    {
        std::lock_guard lock(mutex_);
        if (!alive_) return;
        alive_ = false;
        handles = opened_;
    }
    for (int i = 0; i < handles; ++i) inner_->close();
}

bool UsbNode::alive() {
    std::lock_guard lock(mutex_);
    return alive_;
}

}  // namespace gps

// --- Impl: bootloader restarts --------------------------------------------------------

void SimulatedGps::Impl::onBootloaderReset() {
    std::lock_guard lock(mutex);
    if (mode != GpsMode::FlashBootloader && mode != GpsMode::RomBootloader) return;
    resetPending = true;
    noteLocked("bootloader reset");
    // Normally the device leaves once its answer is out; a host that never
    // reads it does not keep it from restarting.
    laterLocked(config.timing.answerTimeoutMs, [this](uint64_t) { leaveAfterReset(); });
}

void SimulatedGps::Impl::resetAnswerRead() {
    std::lock_guard lock(mutex);
    if (!resetPending) return;
    laterLocked(config.timing.resetLeaveMs, [this](uint64_t) { leaveAfterReset(); });
}

void SimulatedGps::Impl::leaveAfterReset() {
    uint64_t gen;
    int bootMs;
    {
        std::lock_guard lock(mutex);
        if (!resetPending) return;
        resetPending = false;
        gen = generation;
        bootMs = config.timing.bootMs;
    }
    if (!change(GpsMode::Unplugged, false, gen, false)) return;
    schedule(bootMs, gen, [this](uint64_t g) { bootFromFlash(g, false); });
}

// --- Impl: flash ----------------------------------------------------------------------

std::vector<uint8_t> SimulatedGps::Impl::readFlash(uint32_t address, uint32_t length) {
    std::lock_guard identity(identityMutex);
    GpsMode now;
    {
        std::lock_guard lock(mutex);
        now = mode;
    }
    const BootloaderTarget& target = now == GpsMode::RomBootloader ? *romBl : *flashBl;
    return target.flash().read(address, length);
}

void SimulatedGps::Impl::loadImage(const std::vector<uint8_t>& image) {
    std::lock_guard identity(identityMutex);
    GpsMode now;
    {
        std::lock_guard lock(mutex);
        now = mode;
    }
    BootloaderTarget& target = now == GpsMode::RomBootloader ? *romBl : *flashBl;
    std::vector<uint8_t> region(FlashModel::kSize - kApplicationAddress, FlashModel::kErasedByte);
    std::copy_n(image.begin(), std::min(image.size(), region.size()), region.begin());
    target.flash().preload(kApplicationAddress, region);
}

BootloaderTarget& SimulatedGps::flashBootloader() {
    return *impl_->flashBl;
}

BootloaderTarget& SimulatedGps::romBootloader() {
    return *impl_->romBl;
}

std::vector<uint8_t> SimulatedGps::readFlash(uint32_t address, uint32_t length) const {
    return impl_->readFlash(address, length);
}

images::ImageCheck SimulatedGps::checkFlashImage(images::ImageVersion* version) const {
    const std::vector<uint8_t> flash =
        impl_->readFlash(kApplicationAddress, FlashModel::kSize - kApplicationAddress);
    return images::checkImage(flash.data(), flash.size(), version);
}

void SimulatedGps::loadFlashImage(const std::vector<uint8_t>& image) {
    impl_->loadImage(image);
}

}  // namespace sim
