#include "sim/SimulatedGps.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>

#include "hidport/hidport.h"

namespace sim {

namespace {

constexpr uint16_t kGpsVendorId = 0x2B29;
constexpr uint16_t kAppProductId = 0x55;
constexpr uint16_t kRomVendorId = 0x15A2;
constexpr uint16_t kRomProductId = 0x73;
constexpr size_t kOutputReportSize = 65;

constexpr uint8_t kReadDeviceInfo = 6;
constexpr uint8_t kNordicEraseKeys = 7;
constexpr uint8_t kNrfGetVersion = 58;
constexpr uint8_t kForeignReplyCode = 0x21;  // answers no command of the link

std::string hardwareIdText(uint16_t vid, uint16_t pid) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_0100", vid, pid);
    return text;
}

}  // namespace

int32_t currentRadioBuildFor(int deviceType) {
    switch (deviceType) {
        case 11:
        case 12:
        case 13:
        case 14:
        case 16:
            return 1333026;
        case 15:
            return 1332013;
        default:
            return 1031039;
    }
}

std::string radioVersionTextFor(int32_t build) {
    // The updater reads the digits after the first and second dots as the
    // version and those after the third as a three-digit build.
    const int32_t version = build / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "nRF VERSION: 2.%d.%02d.%d", static_cast<int>(version / 100),
                  static_cast<int>(version % 100), static_cast<int>(build % 1000));
    return text;
}

struct QueuedReport {
    InputReport data;
    int64_t readyAtMs;
};

struct SimulatedGps::State {
    explicit State(GpsConfig c, platform::Clock& clk) : config(std::move(c)), clock(clk) {}

    mutable std::mutex mutex;
    std::condition_variable changed;
    GpsConfig config;
    platform::Clock& clock;
    GpsMode mode = GpsMode::Unplugged;
    bool driveRemoved = false;
    int openHandles = 0;
    int openAttempts = 0;
    std::deque<QueuedReport> replies;
    std::vector<LinkCommandFrame> received;

    bool linkReachable() const { return mode == GpsMode::Application; }

    // Caller holds the mutex.
    void queue(const InputReport& report) {
        int64_t ready = clock.nowMs() + config.replyDelayMs;
        if (!replies.empty()) ready = std::max(ready, replies.back().readyAtMs);
        replies.push_back({report, ready});
        changed.notify_all();
    }

    void queueFramed(std::span<const uint8_t> payload) {
        queue(frameReply(payload, config.faults.badCrc));
    }

    void queueText(std::string_view text) { queue(textReply(text, config.faults.badCrc)); }

    // Answers one command frame. Caller holds the mutex.
    void handle(const LinkCommandFrame& frame) {
        received.push_back(frame);
        if (!frame.crcOk || frame.payload.empty()) return;  // a damaged command is ignored
        if (config.faults.silent) return;
        const uint8_t opcode = frame.opcode();
        const int foreign = config.faults.unexpectedReplies;
        for (int i = 0; i < (foreign < 0 ? 3 : foreign); ++i) {
            const uint8_t payload[2] = {kForeignReplyCode, opcode};
            queueFramed(payload);
        }
        if (foreign < 0) return;

        switch (opcode) {
            case kReadDeviceInfo: {
                for (const std::string& line : config.textBeforeDeviceInfo) queueText(line);
                const int raw = config.deviceType + (config.japanese ? 60 : 0);
                const uint8_t payload[6] = {
                    kReadDeviceInfo,
                    static_cast<uint8_t>(raw),
                    static_cast<uint8_t>(config.versionMajor),
                    static_cast<uint8_t>(config.versionMinor),
                    static_cast<uint8_t>(config.infoByteA),
                    static_cast<uint8_t>(config.infoByteB),
                };
                queueFramed(payload);
                break;
            }
            case kNrfGetVersion: {
                const std::string text = config.radioVersionText.empty()
                                             ? radioVersionTextFor(config.radioBuild)
                                             : config.radioVersionText;
                queueText(text);
                break;
            }
            case kNordicEraseKeys:
                // The radio reports its progress as plain text lines.
                queue(rawTextReport("Erasing bonding keys\r\n"));
                queue(rawTextReport("Bonding keys erased\r\n"));
                break;
            default:
                // Commands that make the device change identity or work on its
                // drive are not answered over the link.
                break;
        }
    }
};

// The HID side of the application mode.
class SimulatedGps::AppLink : public hidport::SimulatedHidDevice {
  public:
    explicit AppLink(std::shared_ptr<State> state) : state_(std::move(state)) {}

    uint16_t vendorId() const override { return kGpsVendorId; }
    uint16_t productId() const override { return kAppProductId; }
    size_t outputReportLength() const override { return kOutputReportSize; }

    bool open() override {
        std::lock_guard lock(state_->mutex);
        ++state_->openAttempts;
        if (!state_->linkReachable()) return false;
        int& failures = state_->config.faults.openFailures;
        if (failures < 0) return false;
        if (failures > 0) {
            --failures;
            return false;
        }
        ++state_->openHandles;
        return true;
    }

    void close() override {
        std::lock_guard lock(state_->mutex);
        if (state_->openHandles > 0 && --state_->openHandles == 0) {
            state_->replies.clear();  // unread replies go with the last handle
        }
    }

    int read(unsigned char* data, size_t length, int milliseconds) override {
        State& s = *state_;
        std::unique_lock lock(s.mutex);
        const int64_t start = s.clock.nowMs();
        for (;;) {
            if (!s.linkReachable()) return -1;
            const int64_t now = s.clock.nowMs();
            if (!s.replies.empty() && s.replies.front().readyAtMs <= now) {
                const InputReport report = s.replies.front().data;
                s.replies.pop_front();
                const size_t n = std::min(length, report.size());
                std::copy_n(report.begin(), n, data);
                return static_cast<int>(n);
            }
            int64_t waitMs = milliseconds < 0 ? 1000 : start + milliseconds - now;
            if (milliseconds >= 0 && waitMs <= 0) return 0;
            if (!s.replies.empty()) waitMs = std::min(waitMs, s.replies.front().readyAtMs - now);
            s.changed.wait_for(lock, s.clock.realDuration(std::max<int64_t>(waitMs, 1)));
        }
    }

    int write(const unsigned char* data, size_t length, int) override {
        std::lock_guard lock(state_->mutex);
        if (!state_->linkReachable()) return -1;
        if (length == 0 || data[0] != 0x00) return -1;  // the link has no numbered reports
        if (auto frame = decodeCommandReport(std::span(data, length))) state_->handle(*frame);
        return static_cast<int>(length);
    }

  private:
    std::shared_ptr<State> state_;
};

SimulatedGps::SimulatedGps(GpsConfig config, platform::Clock* clock) {
    if (config.radioBuild == 0) config.radioBuild = currentRadioBuildFor(config.deviceType);
    if (!config.driveFolder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(config.driveFolder) / "Quorta",
                                            ec);
    }
    state_ = std::make_shared<State>(std::move(config), clock ? *clock : platform::sharedClock());
    link_ = std::make_shared<AppLink>(state_);
}

SimulatedGps::~SimulatedGps() {
    unplug();
}

void SimulatedGps::registerLink(bool reachable) {
    if (reachable && !linkRegistered_) {
        hidport::addSimulatedDevice(link_);
        linkRegistered_ = true;
    } else if (!reachable && linkRegistered_) {
        hidport::removeSimulatedDevice(link_.get());
        linkRegistered_ = false;
    }
}

void SimulatedGps::plugIn(GpsMode mode) {
    std::lock_guard identity(identityMutex_);
    {
        std::lock_guard lock(state_->mutex);
        state_->mode = mode;
        state_->driveRemoved = false;
        state_->replies.clear();
        state_->changed.notify_all();
    }
    registerLink(mode == GpsMode::Application);
}

void SimulatedGps::unplug() {
    plugIn(GpsMode::Unplugged);
}

GpsMode SimulatedGps::mode() const {
    std::lock_guard lock(state_->mutex);
    return state_->mode;
}

uint16_t SimulatedGps::usbVendorId() const {
    std::lock_guard lock(state_->mutex);
    return state_->mode == GpsMode::RomBootloader ? kRomVendorId : kGpsVendorId;
}

uint16_t SimulatedGps::usbProductId() const {
    std::lock_guard lock(state_->mutex);
    switch (state_->mode) {
        case GpsMode::Application:
            return kAppProductId;
        case GpsMode::FlashBootloader:
            return static_cast<uint16_t>(state_->config.deviceType +
                                         (state_->config.japanese ? 60 : 0));
        case GpsMode::RomBootloader:
            return kRomProductId;
        case GpsMode::Unplugged:
            break;
    }
    return 0;
}

std::string SimulatedGps::hardwareId() const {
    if (mode() == GpsMode::Unplugged) return "";
    return hardwareIdText(usbVendorId(), usbProductId());
}

int SimulatedGps::rawId() const {
    std::lock_guard lock(state_->mutex);
    return state_->config.deviceType + (state_->config.japanese ? 60 : 0);
}

bool SimulatedGps::driveMounted() const {
    std::lock_guard lock(state_->mutex);
    return state_->mode == GpsMode::Application && !state_->driveRemoved &&
           !state_->config.faults.driveMissing && !state_->config.driveFolder.empty();
}

std::string SimulatedGps::driveFolder() const {
    std::lock_guard lock(state_->mutex);
    return state_->config.driveFolder;
}

std::string SimulatedGps::driveRoot() const {
    std::string root = driveFolder();
    if (!root.empty() && root.back() != '/') root += '/';
    return root;
}

std::optional<platform::VolumeInfo> SimulatedGps::driveVolume() const {
    if (!driveMounted()) return std::nullopt;
    platform::VolumeInfo v;
    v.root = driveRoot();
    v.removable = true;
    const DriveStyle style = config().driveStyle;
    v.label = style == DriveStyle::LabelledQuorta ? "QUORTA" : "";
    v.fileSystem = style == DriveStyle::Ntfs ? "NTFS" : "FAT32";
    return v;
}

void SimulatedGps::removeDrive() {
    std::lock_guard lock(state_->mutex);
    state_->driveRemoved = true;
}

GpsConfig SimulatedGps::config() const {
    std::lock_guard lock(state_->mutex);
    return state_->config;
}

void SimulatedGps::setFaults(const GpsFaults& faults) {
    std::lock_guard lock(state_->mutex);
    state_->config.faults = faults;
}

void SimulatedGps::setVersion(int major, int minor) {
    std::lock_guard lock(state_->mutex);
    state_->config.versionMajor = major;
    state_->config.versionMinor = minor;
}

void SimulatedGps::setRadioBuild(int32_t build) {
    std::lock_guard lock(state_->mutex);
    state_->config.radioBuild = build;
}

std::vector<LinkCommandFrame> SimulatedGps::receivedCommands() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
}

int SimulatedGps::openAttempts() const {
    std::lock_guard lock(state_->mutex);
    return state_->openAttempts;
}

}  // namespace sim
