// The simulated GPS's application on the command link: its handles, as
// hidraw gives them, and its answers to every command of the link.
#include "sim/SimulatedGpsParts.h"

namespace sim {

using namespace gps;

namespace gps {

bool LinkHandle::open() {
    auto s = owner_.lock();
    if (!s) return false;
    {
        std::lock_guard lock(s->mutex);
        // A slot another open took is not an attempt on the device.
        if (taken_ || dead_) return false;
        ++s->openAttempts;
        if (!s->linkReachableLocked() || s->appEnumeration != enumeration_) return false;
        if (s->linkAccessLateLocked()) return false;
        int& failures = s->config.faults.openFailures;
        if (failures < 0) return false;
        if (failures > 0) {
            --failures;
            return false;
        }
        taken_ = true;
        open_ = true;
        s->openLinks.push_back(this);
    }
    // The handle keeps this object; the bus gets a fresh slot.
    hidport::removeSimulatedDevice(this);
    s->offerLinkSlot(enumeration_);
    return true;
}

std::string LinkHandle::permissionDeniedNode() const {
    auto s = owner_.lock();
    if (!s) return {};
    std::lock_guard lock(s->mutex);
    return s->linkAccessLateLocked() ? kLinkNodeName : std::string();
}

void LinkHandle::close() {
    auto s = owner_.lock();
    if (!s) return;
    std::lock_guard lock(s->mutex);
    open_ = false;
    queue_.clear();  // unread reports go with the handle
    std::erase(s->openLinks, this);
}

int LinkHandle::read(unsigned char* data, size_t length, int milliseconds) {
    auto owner = owner_.lock();
    if (!owner || !data) return -1;
    SimulatedGps::Impl& s = *owner;
    std::unique_lock lock(s.mutex);
    const int64_t start = s.clock.nowMs();
    for (;;) {
        if (!open_ || dead_ || !s.linkReachableLocked()) return -1;
        const int64_t now = s.clock.nowMs();
        if (!queue_.empty() && queue_.front().readyAtMs <= now) {
            const InputReport report = queue_.front().data;
            const bool announcesRestart = queue_.front().announcesRestart;
            queue_.pop_front();
            if (announcesRestart) s.restartAnnouncedLocked();
            const size_t n = std::min(length, report.size());
            std::copy_n(report.begin(), n, data);
            return static_cast<int>(n);
        }
        int64_t waitMs = milliseconds < 0 ? 1000 : start + milliseconds - now;
        if (milliseconds >= 0 && waitMs <= 0) return 0;
        if (!queue_.empty()) waitMs = std::min(waitMs, queue_.front().readyAtMs - now);
        s.changed.wait_for(lock, s.clock.realDuration(std::max<int64_t>(waitMs, 1)));
    }
}

int LinkHandle::write(const unsigned char* data, size_t length, int) {
    auto s = owner_.lock();
    if (!s || !data) return -1;
    std::optional<UnplugPlan> pull;
    std::string why;
    {
        std::lock_guard lock(s->mutex);
        if (!open_ || dead_ || !s->linkReachableLocked()) return -1;
        if (length == 0 || data[0] != 0x00) return -1;  // the link has no numbered reports
        if (auto frame = decodeCommandReport(std::span(data, length))) {
            pull = s->handleLocked(*frame);
            if (pull) why = std::string("unplugged at ") + gpsStepName(pull->step);
        }
    }
    // The command reached the device, which then dropped off the bus.
    if (pull) s->pullCable(*pull, why);
    return static_cast<int>(length);
}
}  // namespace gps

// --- Impl: the command link ----------------------------------------------------------

void SimulatedGps::Impl::offerLinkSlot(uint64_t enumeration) {
    std::lock_guard identity(identityMutex);
    {
        std::lock_guard lock(mutex);
        if (appEnumeration != enumeration || mode != GpsMode::Application) return;
    }
    freeLink = std::make_shared<LinkHandle>(weak_from_this(), enumeration);
    hidport::addSimulatedDevice(freeLink);
}

std::optional<UnplugPlan> SimulatedGps::Impl::handleLocked(const LinkCommandFrame& frame) {
    received.push_back(frame);
    if (!frame.crcOk || frame.payload.empty()) return std::nullopt;  // a damaged command is ignored
    if (config.faults.silent) return std::nullopt;
    const uint8_t opcode = frame.opcode();
    const int foreign = config.faults.unexpectedReplies;
    for (int i = 0; i < (foreign < 0 ? 3 : foreign); ++i) {
        const uint8_t payload[2] = {kForeignReplyCode, opcode};
        queueFramedLocked(payload);
    }
    if (foreign < 0) return std::nullopt;

    const GpsTiming& t = config.timing;
    switch (opcode) {
        case kReadDeviceInfo: {
            for (const std::string& line : config.textBeforeDeviceInfo) queueTextLocked(line);
            const int raw = config.deviceType + (config.japanese ? kJapaneseOffset : 0);
            const uint8_t payload[6] = {
                kReadDeviceInfo,
                static_cast<uint8_t>(raw),
                static_cast<uint8_t>(config.versionMajor),
                static_cast<uint8_t>(config.versionMinor),
                static_cast<uint8_t>(config.infoByteA),
                static_cast<uint8_t>(config.infoByteB),
            };
            queueFramedLocked(payload);
            return std::nullopt;
        }
        case kNrfGetVersion: {
            if (config.faults.silentRadio) return std::nullopt;
            std::string text = config.radioVersionText.empty()
                                   ? radioVersionTextFor(config.radioBuild)
                                   : config.radioVersionText;
            if (config.faults.radioVersionTwoDots) {
                const size_t last = text.rfind('.');
                if (last != std::string::npos) text.resize(last);
            }
            queueTextLocked(text);
            return std::nullopt;
        }
        case kNordicEraseKeys: {
            // The radio reports its progress as plain text lines.
            noteLocked("NORDIC_ERASE_KEYS");
            const int64_t now = clock.nowMs();
            queueAtLocked(rawTextReport("Erasing bonding keys\r\n"), now + config.replyDelayMs);
            queueAtLocked(rawTextReport("Bonding keys erased\r\n"), now + t.eraseKeysMs);
            return std::nullopt;
        }
        case kJumpToBl: {
            noteLocked("JUMP_TO_BL");
            if (auto pull = takePlanLocked(GpsStep::JumpToBootloader)) return pull;
            laterLocked(t.leaveMs, [this](uint64_t gen) {
                int showMs;
                {
                    std::lock_guard lock(mutex);
                    showMs = config.timing.bootloaderShowMs;
                }
                if (!change(GpsMode::Unplugged, false, gen, false)) return;
                schedule(showMs, gen, [this](uint64_t g) {
                    enterBootloader(GpsMode::FlashBootloader, g, false);
                });
            });
            return std::nullopt;
        }
        case kFactoryReset: {
            noteLocked("FACTORY_RESET");
            if (auto pull = takePlanLocked(GpsStep::FactoryReset)) return pull;
            laterLocked(t.leaveMs, [this](uint64_t gen) { factoryReset(gen); });
            return std::nullopt;
        }
        case kUpdateNordic: {
            if (frame.payload.size() != 7) {
                noteLocked("UPDATE_NORDIC without its arguments");
                const uint8_t payload[2] = {kRadioFailedCode, 0};
                queueFramedLocked(payload);
                return std::nullopt;
            }
            const auto& p = frame.payload;
            const uint16_t crc = static_cast<uint16_t>(p[1] | p[2] << 8);
            const uint32_t length = static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[4]) << 8 |
                                    static_cast<uint32_t>(p[5]) << 16 |
                                    static_cast<uint32_t>(p[6]) << 24;
            char line[96];
            std::snprintf(line, sizeof line, "UPDATE_NORDIC length %u CRC 0x%04X", length, crc);
            noteLocked(line);
            if (auto pull = takePlanLocked(GpsStep::RadioUpdate)) return pull;
            if (config.faults.radioUpdateSilent) return std::nullopt;
            laterLocked(t.radioCheckMs,
                        [this, crc, length](uint64_t gen) { radioUpdate(gen, crc, length); });
            return std::nullopt;
        }
        case kKanjiProgramFlash: {
            noteLocked("KANJI_PROGRAM_FLASH");
            if (auto pull = takePlanLocked(GpsStep::FontLoading)) return pull;
            laterLocked(0, [this](uint64_t gen) { fontLoad(gen); });
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::vector<LinkCommandFrame> SimulatedGps::receivedCommands() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

int SimulatedGps::openAttempts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->openAttempts;
}

}  // namespace sim
