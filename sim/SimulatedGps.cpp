#include "sim/SimulatedGps.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "hidport/hidport.h"
#include "sim/DriveFolder.h"
#include "sim/SimulatedFirmware.h"

namespace sim {

namespace {

constexpr uint16_t kGpsVendorId = 0x2B29;
constexpr uint16_t kAppProductId = 0x55;
constexpr uint16_t kRomVendorId = 0x15A2;
constexpr uint16_t kRomProductId = 0x73;
constexpr int kJapaneseOffset = 60;

constexpr uint8_t kReadDeviceInfo = 6;
constexpr uint8_t kNordicEraseKeys = 7;
constexpr uint8_t kJumpToBl = 9;
constexpr uint8_t kFactoryReset = 13;
constexpr uint8_t kUpdateNordic = 14;
constexpr uint8_t kNrfGetVersion = 58;
constexpr uint8_t kKanjiProgramFlash = 64;
constexpr uint8_t kForeignReplyCode = 0x21;  // answers no command of the link
constexpr uint8_t kRadioFailedCode = '%';

// The bootloader protocol, as far as the GPS watches its own bootloaders.
constexpr uint8_t kCommandOutReport = 1;
constexpr uint8_t kDataOutReport = 2;
constexpr uint8_t kCommandInReport = 3;
constexpr uint8_t kGenericResponseTag = 0xA0;

std::string hardwareIdText(uint16_t vid, uint16_t pid) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_0100", vid, pid);
    return text;
}

std::string versionText(int major, int minor, bool japanese) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%02d %s", major, minor,
                  japanese ? "Japanese" : "standard");
    return text;
}

// Timed actions of one GPS on a thread of their own, due on the Clock. The
// thread waits on a condition variable for the Clock's real duration, never
// with sleepMs, so the updater's count of its own waits stays its own.
class Scheduler {
  public:
    explicit Scheduler(platform::Clock& clock) : clock_(clock) {
        thread_ = std::thread([this] { run(); });
    }
    ~Scheduler() { stop(); }

    void at(int64_t dueMs, std::function<void()> action) {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        queue_.emplace(dueMs, std::move(action));  // after others due at the same time
        wake_.notify_all();
    }

    // Drops what is pending and joins the thread.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            queue_.clear();
            wake_.notify_all();
        }
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

    bool waitIdle(std::chrono::microseconds timeout) {
        std::unique_lock lock(mutex_);
        return idle_.wait_for(lock, timeout, [this] { return queue_.empty() && !running_; });
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = queue_.begin();
            const int64_t now = clock_.nowMs();
            if (first->first > now) {
                wake_.wait_for(lock, std::max(clock_.realDuration(first->first - now),
                                              std::chrono::microseconds(1)));
                continue;
            }
            std::function<void()> action = std::move(first->second);
            queue_.erase(first);
            running_ = true;
            lock.unlock();
            action();
            lock.lock();
            running_ = false;
            idle_.notify_all();
        }
        running_ = false;
        idle_.notify_all();
    }

    platform::Clock& clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::multimap<int64_t, std::function<void()>> queue_;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;  // last: started once everything above exists
};

struct QueuedReport {
    InputReport data;
    int64_t readyAtMs;
    bool announcesRestart = false;  // "Succus!!": the radio restarts once it is read
};

class UsbNode;

// One handle's view of the application's command link. As with a hidraw
// node, every open handle receives its own copy of every report the device
// sends from the time it opened, so a scan on one thread and a worker
// listening on another never take each other's answers. hidport gives each
// open the device object it opened, so the device keeps one unopened slot on
// the bus and offers a fresh one as each is taken. Its queue and flags are
// guarded by the device's mutex.
class LinkHandle : public hidport::SimulatedHidDevice {
  public:
    LinkHandle(std::weak_ptr<SimulatedGps::Impl> owner, uint64_t enumeration)
        : owner_(std::move(owner)), enumeration_(enumeration) {}

    uint16_t vendorId() const override { return kGpsVendorId; }
    uint16_t productId() const override { return kAppProductId; }
    size_t outputReportLength() const override { return kOutputReportSize; }
    bool open() override;
    void close() override;
    int read(unsigned char* data, size_t length, int milliseconds) override;
    int write(const unsigned char* data, size_t length, int milliseconds) override;

    // Under the device's mutex.
    void pushLocked(const InputReport& report, int64_t readyAt, bool announcesRestart) {
        if (!queue_.empty()) readyAt = std::max(readyAt, queue_.back().readyAtMs);
        queue_.push_back({report, readyAt, announcesRestart});
    }
    void killLocked() {
        dead_ = true;
        queue_.clear();
    }
    bool holdsUnreadAnnouncementLocked() const {
        return std::any_of(queue_.begin(), queue_.end(),
                           [](const QueuedReport& r) { return r.announcesRestart; });
    }

  private:
    const std::weak_ptr<SimulatedGps::Impl> owner_;
    const uint64_t enumeration_;
    bool taken_ = false;  // some hid_open got this slot
    bool open_ = false;
    bool dead_ = false;  // the enumeration it belonged to is gone
    std::deque<QueuedReport> queue_;
};

}  // namespace

const char* gpsModeName(GpsMode mode) {
    switch (mode) {
        case GpsMode::Unplugged:
            return "unplugged";
        case GpsMode::Application:
            return "application";
        case GpsMode::FlashBootloader:
            return "flash bootloader";
        case GpsMode::RomBootloader:
            return "ROM bootloader";
    }
    return "?";
}

const char* gpsStepName(GpsStep step) {
    switch (step) {
        case GpsStep::JumpToBootloader:
            return "JumpToBootloader";
        case GpsStep::BootloaderShown:
            return "BootloaderShown";
        case GpsStep::Erase:
            return "Erase";
        case GpsStep::Write:
            return "Write";
        case GpsStep::BootloaderReset:
            return "BootloaderReset";
        case GpsStep::ApplicationShown:
            return "ApplicationShown";
        case GpsStep::RadioUpdate:
            return "RadioUpdate";
        case GpsStep::RadioProgramming:
            return "RadioProgramming";
        case GpsStep::FontLoading:
            return "FontLoading";
        case GpsStep::FactoryReset:
            return "FactoryReset";
    }
    return "?";
}

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

// --- The device ----------------------------------------------------------------

struct SimulatedGps::Impl : std::enable_shared_from_this<Impl> {
    Impl(GpsConfig c, platform::Clock& clk) : clock(clk), config(std::move(c)) {}

    using Action = std::function<void(uint64_t generation)>;

    void start();
    void shutdown();

    // --- Under `mutex` ---
    bool driveVisibleLocked() const {
        return mode == GpsMode::Application && driveUp && !config.faults.driveMissing &&
               !config.driveFolder.empty();
    }
    bool linkReachableLocked() const { return mode == GpsMode::Application; }
    void noteLocked(std::string line) { activity.push_back(std::move(line)); }
    std::optional<UnplugPlan> takePlanLocked(GpsStep step) {
        if (!plan || plan->step != step) return std::nullopt;
        std::optional<UnplugPlan> taken = plan;
        plan.reset();
        return taken;
    }
    // A report to every open handle of the link.
    void queueAtLocked(const InputReport& report, int64_t readyAt, bool announcesRestart = false) {
        for (LinkHandle* link : openLinks) link->pushLocked(report, readyAt, announcesRestart);
        changed.notify_all();
    }
    // A host read "Succus!!": the radio restarts shortly.
    void restartAnnouncedLocked() {
        if (!radioRestartPending) return;
        radioRestartPending = false;
        laterLocked(config.timing.radioRestartMs, [this](uint64_t g) { radioRestart(g); });
    }
    void queueLocked(const InputReport& report) {
        queueAtLocked(report, clock.nowMs() + config.replyDelayMs);
    }
    void queueFramedLocked(std::span<const uint8_t> payload) {
        queueLocked(frameReply(payload, config.faults.badCrc));
    }
    void queueTextLocked(std::string_view text) {
        queueLocked(textReply(text, config.faults.badCrc));
    }
    // An action after `delayMs`, dropped when a physical change (plug, unplug)
    // came in between. The caller holds the mutex.
    void laterLocked(int64_t delayMs, Action action) {
        schedule(delayMs, generation, std::move(action));
    }
    // Answers one command frame; a plan to pull the cable comes back.
    std::optional<UnplugPlan> handleLocked(const LinkCommandFrame& frame);

    // --- Without `mutex` ---
    void schedule(int64_t delayMs, uint64_t gen, Action action);
    // Puts an unopened slot of the link on the bus for the next hid_open.
    void offerLinkSlot(uint64_t enumeration);
    // Changes identity and drive: nullopt keeps the mode or the drive (a drive
    // is only ever up in application mode). With `expectedGen`
    // nothing happens when a physical change came in between; `physical`
    // starts a new generation, cancelling what is pending. `underLock` runs
    // with the state mutex held, before the change.
    bool change(std::optional<GpsMode> newMode, std::optional<bool> newDriveUp,
                std::optional<uint64_t> expectedGen, bool physical,
                const std::function<void()>& underLock = {});
    void post(const std::vector<platform::DeviceEvent>& events);
    void drainEvents();

    void enterApplication(std::optional<uint64_t> gen, bool physical, bool driveNow,
                          const std::function<void()>& underLock = {});
    void enterBootloader(GpsMode which, std::optional<uint64_t> gen, bool physical,
                         const std::function<void()>& underLock = {});
    void bootFromFlash(std::optional<uint64_t> gen, bool physical);
    void pullCable(const UnplugPlan& plan, const std::string& why);
    void checkShownStep(GpsStep step);

    void onBootloaderReset();
    void resetAnswerRead();
    void leaveAfterReset();

    void radioUpdate(uint64_t gen, uint16_t crc, uint32_t length);
    void radioRestart(uint64_t gen);
    void restartUnlessAwaited(uint64_t gen);
    void fontLoad(uint64_t gen);
    void factoryReset(uint64_t gen);
    // Runs a change the device makes to its own drive, which the computer's
    // read-only view does not stop.
    void onOwnDrive(const std::function<void()>& work);
    void applyReadOnly(bool readOnly);

    std::vector<uint8_t> readFlash(uint32_t address, uint32_t length);
    void loadImage(const std::vector<uint8_t>& image);

    platform::Clock& clock;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    GpsConfig config;
    GpsMode mode = GpsMode::Unplugged;
    bool driveUp = false;     // the device presents its drive (until ejected)
    uint64_t generation = 0;  // a physical change starts a new one
    int openAttempts = 0;
    uint64_t appEnumeration = 0;  // counts the application's enumerations
    std::vector<LinkHandle*> openLinks;
    std::vector<LinkCommandFrame> received;
    std::vector<std::string> activity;
    std::optional<UnplugPlan> plan;
    bool resetPending = false;
    bool radioRestartPending = false;

    std::mutex identityMutex;              // one change of identity at a time; before `mutex`
    std::shared_ptr<LinkHandle> freeLink;  // the unopened slot on the bus, under identityMutex
    std::shared_ptr<BootloaderTarget> flashBl;
    std::shared_ptr<BootloaderTarget> romBl;
    std::shared_ptr<UsbNode> node;  // the identity on the bus, under identityMutex

    std::mutex driveMutex;  // attribute changes of the drive folder
    bool readOnlyApplied = false;

    std::mutex outboxMutex;
    std::deque<platform::DeviceEvent> outbox;
    std::function<void(platform::DeviceEvent)> sink;

    std::unique_ptr<Scheduler> scheduler;
};

namespace {

bool LinkHandle::open() {
    auto s = owner_.lock();
    if (!s) return false;
    {
        std::lock_guard lock(s->mutex);
        // A slot another open took is not an attempt on the device.
        if (taken_ || dead_) return false;
        ++s->openAttempts;
        if (!s->linkReachableLocked() || s->appEnumeration != enumeration_) return false;
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

// One enumeration of a bootloader on the bus. Handles opened on it die with
// it, as those of a real device node do: once it leaves, they only see
// errors, even after the device comes back under the same ids. It also
// watches the bootloader protocol for the device's own steps (unplug plans,
// the reset answer that precedes a restart).
class UsbNode : public hidport::SimulatedHidDevice {
  public:
    UsbNode(uint16_t vid, uint16_t pid, std::shared_ptr<hidport::SimulatedHidDevice> inner,
            std::weak_ptr<SimulatedGps::Impl> owner)
        : vid_(vid), pid_(pid), inner_(std::move(inner)), owner_(std::move(owner)) {}

    uint16_t vendorId() const override { return vid_; }
    uint16_t productId() const override { return pid_; }
    size_t outputReportLength() const override { return inner_->outputReportLength(); }

    bool open() override {
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

    void close() override {
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

    int read(unsigned char* data, size_t length, int milliseconds) override {
        if (!alive()) return -1;
        const int n = inner_->read(data, length, milliseconds);
        if (!alive()) return -1;
        if (n >= 13 && data[0] == kCommandInReport && data[4] == kGenericResponseTag &&
            data[12] == protocol::kCommandTag_Reset) {
            if (auto owner = owner_.lock()) owner->resetAnswerRead();
        }
        return n;
    }

    int write(const unsigned char* data, size_t length, int milliseconds) override {
        if (!alive() || !data) return -1;

        const uint8_t id = length > 0 ? data[0] : 0;
        const uint32_t packetLength =
            length >= 4 ? (data[2] | static_cast<uint32_t>(data[3]) << 8) : 0;
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
                plan->afterDataPackets = static_cast<int>(
                    packets * uint64_t(std::min(plan->afterWritePercent, 100)) / 100);
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
                owner->pullCable(plan, "unplugged at Write after " + std::to_string(*pullAfter) +
                                           " data packets");
            }
        }
        return written;
    }

    // The device left the bus: every handle on this node is dead.
    void kill() {
        int handles = 0;
        {
            std::lock_guard lock(mutex_);
            if (!alive_) return;
            alive_ = false;
            handles = opened_;
        }
        for (int i = 0; i < handles; ++i) inner_->close();
    }

  private:
    bool alive() {
        std::lock_guard lock(mutex_);
        return alive_;
    }

    const uint16_t vid_;
    const uint16_t pid_;
    const std::shared_ptr<hidport::SimulatedHidDevice> inner_;
    const std::weak_ptr<SimulatedGps::Impl> owner_;

    std::mutex mutex_;
    bool alive_ = true;
    int opened_ = 0;
    int dataPackets_ = 0;  // of the command in progress
    int armedAfter_ = -1;  // pull the cable after this many data packets of a write
    int64_t armedPlugBack_ = -1;
};

}  // namespace

// --- Impl: life ------------------------------------------------------------------

void SimulatedGps::Impl::start() {
    std::weak_ptr<Impl> weak = weak_from_this();
    // Its USB ids are those of the node it is enumerated under (the product
    // id follows the variant the device runs); the target's own are nominal.
    const uint16_t flashPid =
        static_cast<uint16_t>(config.deviceType + (config.japanese ? kJapaneseOffset : 0));
    flashBl = std::make_shared<BootloaderTarget>(kGpsVendorId, flashPid, clock);
    flashBl->setReservedFlashRegion(0, kApplicationAddress - 1);
    flashBl->unplug();
    romBl = std::make_shared<BootloaderTarget>(kRomVendorId, kRomProductId, clock);
    romBl->unplug();
    for (const auto& target : {flashBl, romBl}) {
        target->setResetHook([weak] {
            if (auto s = weak.lock()) s->onBootloaderReset();
        });
    }
    scheduler = std::make_unique<Scheduler>(clock);

    const images::ImageVersion factory{config.deviceType, config.japanese ? kJapaneseOffset : 0,
                                       config.versionMajor, config.versionMinor};
    loadImage(makeFirmwareImage(factory));
    if (config.faults.driveReadOnly) applyReadOnly(true);
}

void SimulatedGps::Impl::shutdown() {
    scheduler->stop();
    {
        std::lock_guard lock(outboxMutex);
        sink = nullptr;
        outbox.clear();
    }
    change(GpsMode::Unplugged, false, std::nullopt, true);
    for (const auto& target : {flashBl, romBl}) target->setResetHook(nullptr);
    applyReadOnly(false);
}

void SimulatedGps::Impl::offerLinkSlot(uint64_t enumeration) {
    std::lock_guard identity(identityMutex);
    {
        std::lock_guard lock(mutex);
        if (appEnumeration != enumeration || mode != GpsMode::Application) return;
    }
    freeLink = std::make_shared<LinkHandle>(weak_from_this(), enumeration);
    hidport::addSimulatedDevice(freeLink);
}

void SimulatedGps::Impl::schedule(int64_t delayMs, uint64_t gen, Action action) {
    scheduler->at(clock.nowMs() + std::max<int64_t>(delayMs, 0),
                  [this, gen, action = std::move(action)] {
                      {
                          std::lock_guard lock(mutex);
                          if (generation != gen) return;  // the cable moved meanwhile
                      }
                      action(gen);
                  });
}

// --- Impl: identity ----------------------------------------------------------------

bool SimulatedGps::Impl::change(std::optional<GpsMode> newMode, std::optional<bool> newDriveUp,
                                std::optional<uint64_t> expectedGen, bool physical,
                                const std::function<void()>& underLock) {
    std::lock_guard identity(identityMutex);
    GpsMode old;
    int bootloaderOpenFailures = 0;
    uint16_t flashPid = 0;
    {
        std::lock_guard lock(mutex);
        if (expectedGen && *expectedGen != generation) return false;
        old = mode;
        bootloaderOpenFailures = config.faults.bootloaderOpenFailures;
        flashPid =
            static_cast<uint16_t>(config.deviceType + (config.japanese ? kJapaneseOffset : 0));
    }
    const GpsMode target = newMode.value_or(old);
    const bool identityChanges = target != old;

    // The bus first: the old node is gone and the new one can be opened by
    // the time anybody sees the new mode.
    if (identityChanges) {
        if (node) {
            node->kill();
            hidport::removeSimulatedDevice(node.get());
            node.reset();
        }
        if (old == GpsMode::Application) {
            if (freeLink) hidport::removeSimulatedDevice(freeLink.get());
            freeLink.reset();
            std::lock_guard lock(mutex);
            for (LinkHandle* link : openLinks) link->killLocked();
            openLinks.clear();
            changed.notify_all();
        }
        if (old == GpsMode::FlashBootloader) flashBl->unplug();
        if (old == GpsMode::RomBootloader) romBl->unplug();
        // One flash behind both bootloaders: it follows the one enumerated.
        if (old == GpsMode::RomBootloader) {
            flashBl->flash().preload(0, romBl->flash().read(0, FlashModel::kSize));
        }
        if (target == GpsMode::RomBootloader) {
            romBl->flash().preload(0, flashBl->flash().read(0, FlashModel::kSize));
        }
        std::weak_ptr<Impl> weak = weak_from_this();
        switch (target) {
            case GpsMode::Application: {
                uint64_t enumeration;
                {
                    std::lock_guard lock(mutex);
                    enumeration = ++appEnumeration;
                }
                freeLink = std::make_shared<LinkHandle>(weak, enumeration);
                hidport::addSimulatedDevice(freeLink);
                break;
            }
            case GpsMode::FlashBootloader:
                // The node carries the product id: the bootloader names the
                // variant the device last ran.
                flashBl->plugIn();
                if (bootloaderOpenFailures > 0) {
                    BootloaderFaults f = flashBl->faults();
                    f.openFailures = bootloaderOpenFailures;
                    flashBl->setFaults(f);
                }
                node = std::make_shared<UsbNode>(kGpsVendorId, flashPid, flashBl, weak);
                break;
            case GpsMode::RomBootloader:
                romBl->plugIn();
                node = std::make_shared<UsbNode>(kRomVendorId, kRomProductId, romBl, weak);
                break;
            case GpsMode::Unplugged:
                break;
        }
        if (node) hidport::addSimulatedDevice(node);
    }

    std::vector<platform::DeviceEvent> events;
    {
        std::lock_guard lock(mutex);
        if (physical) ++generation;
        const bool driveBefore = driveVisibleLocked();
        if (underLock) underLock();
        mode = target;
        driveUp = target == GpsMode::Application && newDriveUp.value_or(driveUp);
        if (identityChanges) {
            resetPending = false;
            radioRestartPending = false;
            noteLocked(std::string(gpsModeName(target)) +
                       (target == GpsMode::Unplugged ? "" : " shown"));
        }
        const bool driveAfter = driveVisibleLocked();
        if (driveBefore && !driveAfter) {
            events.push_back(platform::DeviceEvent::VolumeRemoveComplete);
        }
        if (identityChanges) events.push_back(platform::DeviceEvent::DevNodesChanged);
        if (!driveBefore && driveAfter) events.push_back(platform::DeviceEvent::VolumeArrival);
        if (driveBefore != driveAfter) noteLocked(driveAfter ? "drive mounted" : "drive gone");
        changed.notify_all();
    }
    post(events);
    return true;
}

void SimulatedGps::Impl::post(const std::vector<platform::DeviceEvent>& events) {
    if (events.empty()) return;
    {
        std::lock_guard lock(outboxMutex);
        outbox.insert(outbox.end(), events.begin(), events.end());
    }
    // Delivered from the GPS's thread only, so they keep their order.
    scheduler->at(clock.nowMs(), [this] { drainEvents(); });
}

void SimulatedGps::Impl::drainEvents() {
    for (;;) {
        platform::DeviceEvent event;
        std::function<void(platform::DeviceEvent)> to;
        {
            std::lock_guard lock(outboxMutex);
            if (outbox.empty()) return;
            event = outbox.front();
            outbox.pop_front();
            to = sink;
        }
        if (to) to(event);
    }
}

void SimulatedGps::Impl::checkShownStep(GpsStep step) {
    std::optional<UnplugPlan> pull;
    {
        std::lock_guard lock(mutex);
        pull = takePlanLocked(step);
    }
    if (pull) pullCable(*pull, std::string("unplugged at ") + gpsStepName(step));
}

void SimulatedGps::Impl::enterApplication(std::optional<uint64_t> gen, bool physical, bool driveNow,
                                          const std::function<void()>& underLock) {
    if (!change(GpsMode::Application, driveNow, gen, physical, underLock)) return;
    checkShownStep(GpsStep::ApplicationShown);
    if (driveNow) return;
    std::lock_guard lock(mutex);
    laterLocked(config.timing.driveMountMs,
                [this](uint64_t g) { change(std::nullopt, true, g, false); });
}

void SimulatedGps::Impl::enterBootloader(GpsMode which, std::optional<uint64_t> gen, bool physical,
                                         const std::function<void()>& underLock) {
    if (!change(which, false, gen, physical, underLock)) return;
    checkShownStep(GpsStep::BootloaderShown);
}

void SimulatedGps::Impl::bootFromFlash(std::optional<uint64_t> gen, bool physical) {
    const std::vector<uint8_t> flash =
        readFlash(kApplicationAddress, FlashModel::kSize - kApplicationAddress);
    images::ImageVersion version;
    const images::ImageCheck check = images::checkImage(flash.data(), flash.size(), &version);
    std::string reason;
    if (check != images::ImageCheck::ok) {
        reason = images::imageCheckText(check);
    } else if (version.deviceType != config.deviceType) {
        // The type is the hardware's; another type's firmware does not run on it.
        reason = "image for device type " + std::to_string(version.deviceType);
    }
    if (!reason.empty()) {
        enterBootloader(GpsMode::RomBootloader, gen, physical,
                        [this, reason] { noteLocked("boot failed: " + reason); });
        return;
    }
    enterApplication(gen, physical, false, [this, version] {
        config.versionMajor = version.major;
        config.versionMinor = version.minor;
        config.japanese = version.variant == kJapaneseOffset;
        noteLocked("booted " + versionText(version.major, version.minor, config.japanese));
    });
}

void SimulatedGps::Impl::pullCable(const UnplugPlan& unplug, const std::string& why) {
    change(GpsMode::Unplugged, false, std::nullopt, true, [this, why] { noteLocked(why); });
    if (unplug.plugBackAfterMs < 0) return;
    std::lock_guard lock(mutex);
    laterLocked(unplug.plugBackAfterMs, [this](uint64_t) {
        {
            std::lock_guard l(mutex);
            noteLocked("plugged back in");
        }
        bootFromFlash(std::nullopt, true);
    });
}

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

// --- Impl: the command link ----------------------------------------------------------

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

void SimulatedGps::Impl::radioUpdate(uint64_t gen, uint16_t crc, uint32_t length) {
    std::string folder;
    int type;
    bool fails;
    {
        std::lock_guard lock(mutex);
        folder = config.driveFolder;
        type = config.deviceType;
        fails = config.faults.radioUpdateFails;
    }
    // The radio takes its image from the device's own storage, whether or not
    // the computer still has the drive mounted.
    std::string refusal;
    const std::string binPath = folder + "/nrf_update.bin";
    std::optional<std::vector<uint8_t>> image =
        folder.empty() ? std::nullopt : drive::readFile(binPath);
    if (!image) {
        refusal = "nrf_update.bin missing";
    } else if (image->size() != length) {
        refusal = "nrf_update.bin has " + std::to_string(image->size()) + " bytes, " +
                  std::to_string(length) + " announced";
    } else if (radioImageCrc16(image->data(), image->size()) != crc) {
        refusal = "nrf_update.bin fails its CRC";
    } else if (type >= 11 && type <= 16) {
        const std::optional<uint64_t> datSize = drive::fileSize(folder + "/nrf_update.dat");
        if (!datSize || *datSize == 0) refusal = "nrf_update.dat missing";
    }
    if (refusal.empty() && fails) refusal = "the radio failed to program";

    std::lock_guard lock(mutex);
    if (generation != gen || mode != GpsMode::Application) return;
    const GpsTiming& t = config.timing;
    const int64_t now = clock.nowMs();
    if (!refusal.empty()) {
        noteLocked("radio update refused: " + refusal);
        std::vector<uint8_t> payload{kRadioFailedCode};
        payload.insert(payload.end(), {'N', 'R', 'F', ' ', 'E', 'R', 'R', 0});
        queueAtLocked(frameReply(payload, config.faults.badCrc), now);
        return;
    }
    const int ticks = std::max(t.radioTicks, 0);
    std::optional<UnplugPlan> pull = takePlanLocked(GpsStep::RadioProgramming);
    const int sent = pull ? ticks / 2 : ticks;
    for (int i = 0; i < sent; ++i) {
        queueAtLocked(textReply("*", config.faults.badCrc), now + int64_t(i) * t.radioTickMs);
    }
    const int64_t doneAt = now + int64_t(sent) * t.radioTickMs;
    if (pull) {
        const UnplugPlan plan = *pull;
        schedule(doneAt - now, gen,
                 [this, plan](uint64_t) { pullCable(plan, "unplugged at RadioProgramming"); });
        return;
    }
    queueAtLocked(textReply("Succus!!", config.faults.badCrc), doneAt, true);
    noteLocked("radio programmed");
    radioRestartPending = true;
    // Restarts once a host read the news, or once no open handle still holds
    // it unread: a host that is slow to drain the ticks does not lose it.
    schedule(doneAt - now + t.answerTimeoutMs, gen,
             [this](uint64_t g) { restartUnlessAwaited(g); });
}

void SimulatedGps::Impl::restartUnlessAwaited(uint64_t gen) {
    std::lock_guard lock(mutex);
    if (!radioRestartPending) return;
    const bool awaited = std::any_of(openLinks.begin(), openLinks.end(), [](const LinkHandle* l) {
        return l->holdsUnreadAnnouncementLocked();
    });
    if (!awaited) {
        restartAnnouncedLocked();
        return;
    }
    schedule(config.timing.answerTimeoutMs, gen, [this](uint64_t g) { restartUnlessAwaited(g); });
}

void SimulatedGps::Impl::radioRestart(uint64_t gen) {
    int bootMs;
    {
        std::lock_guard lock(mutex);
        bootMs = config.timing.bootMs;
    }
    const bool left = change(GpsMode::Unplugged, false, gen, false, [this] {
        config.radioBuild = currentRadioBuildFor(config.deviceType);
        config.faults.silentRadio = false;  // the new radio firmware answers
        noteLocked("radio restarted with build " + std::to_string(config.radioBuild));
    });
    if (!left) return;
    schedule(bootMs, gen, [this](uint64_t g) { enterApplication(g, false, false); });
}

void SimulatedGps::Impl::fontLoad(uint64_t gen) {
    std::string folder;
    int type;
    int failAfter;
    int64_t packMs;
    {
        std::lock_guard lock(mutex);
        folder = config.driveFolder;
        type = config.deviceType;
        failAfter = config.faults.fontFailAfterPacks;
        packMs = config.timing.fontLoadMs;
    }
    struct Pack {
        const char* name;
        uint8_t letter;
    };
    std::vector<Pack> packs;
    if (type == 11 || type == 12) {
        packs = {{"Kanji_19x19.bin", 'C'}};
    } else {
        packs = {{"Kanji_11x12.bin", 'A'}, {"Kanji_18x18.bin", 'B'}};
    }
    // Decided now, from the files as they stand; answered as each pack loads.
    std::vector<std::pair<std::string, uint8_t>> answers;
    for (size_t i = 0; i < packs.size(); ++i) {
        const std::string name = packs[i].name;
        std::string problem;
        if (failAfter >= 0 && static_cast<int>(i) >= failAfter) {
            problem = "loading failed";
        } else {
            const std::optional<uint64_t> size = drive::fileSize(folder + "/" + name);
            const std::optional<uint32_t> expected = fontPackSize(name);
            if (!size) {
                problem = "missing";
            } else if (!expected || *size != *expected) {
                problem = "has " + std::to_string(*size) + " bytes";
            }
        }
        if (!problem.empty()) {
            answers.emplace_back(name + " " + problem, 'D');
            break;
        }
        answers.emplace_back(name + " loaded", packs[i].letter);
    }

    std::lock_guard lock(mutex);
    if (generation != gen || mode != GpsMode::Application) return;
    const int64_t now = clock.nowMs();
    for (size_t i = 0; i < answers.size(); ++i) {
        const auto& [text, letter] = answers[i];
        const int64_t at = now + int64_t(i + 1) * packMs;
        // Progress text the updater ignores, then the status letter.
        queueAtLocked(textReply("Loading " + text.substr(0, text.find(' '))), at - packMs / 2);
        std::vector<uint8_t> payload{letter};
        payload.insert(payload.end(), text.begin(), text.end());
        payload.push_back(0);
        queueAtLocked(frameReply(payload), at);
        noteLocked(std::string("fonts: ") + static_cast<char>(letter) + " (" + text + ")");
    }
}

void SimulatedGps::Impl::factoryReset(uint64_t gen) {
    std::string folder;
    int bootMs;
    {
        std::lock_guard lock(mutex);
        folder = config.driveFolder;
        bootMs = config.timing.bootMs;
    }
    bool emptied = true;
    if (!folder.empty()) onOwnDrive([&] { emptied = drive::emptyFolder(folder + "/Quorta"); });
    const bool left = change(GpsMode::Unplugged, false, gen, false, [this, emptied] {
        noteLocked(emptied ? "factory reset: Quorta folder emptied"
                           : "factory reset: Quorta folder could not be emptied");
    });
    if (!left) return;
    schedule(bootMs, gen, [this](uint64_t g) { enterApplication(g, false, false); });
}

void SimulatedGps::Impl::onOwnDrive(const std::function<void()>& work) {
    std::lock_guard lock(driveMutex);
    const bool locked = readOnlyApplied;
    std::string folder;
    {
        std::lock_guard l(mutex);
        folder = config.driveFolder;
    }
    if (locked) drive::setReadOnly(folder, false);
    work();
    if (locked) drive::setReadOnly(folder, true);
}

void SimulatedGps::Impl::applyReadOnly(bool readOnly) {
    std::lock_guard lock(driveMutex);
    if (readOnlyApplied == readOnly) return;
    std::string folder;
    {
        std::lock_guard l(mutex);
        folder = config.driveFolder;
    }
    if (folder.empty()) return;
    drive::setReadOnly(folder, readOnly);
    readOnlyApplied = readOnly;
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

// --- SimulatedGps ------------------------------------------------------------------

SimulatedGps::SimulatedGps(GpsConfig config, platform::Clock* clock) {
    if (config.radioBuild == 0) config.radioBuild = currentRadioBuildFor(config.deviceType);
    if (!config.driveFolder.empty()) {
        std::error_code ec;
        if (!std::filesystem::exists(config.driveFolder, ec)) {
            std::filesystem::create_directories(
                std::filesystem::path(config.driveFolder) / "Quorta", ec);
        }
    }
    impl_ = std::make_shared<Impl>(std::move(config), clock ? *clock : platform::sharedClock());
    impl_->start();
}

SimulatedGps::~SimulatedGps() {
    impl_->shutdown();
}

void SimulatedGps::plugIn(GpsMode mode) {
    if (mode == GpsMode::Unplugged) {
        unplug();
        return;
    }
    if (mode == GpsMode::RomBootloader && checkFlashImage() == images::ImageCheck::ok) {
        // A device sits in its ROM bootloader because nothing bootable is left.
        impl_->loadImage({});
    }
    if (mode == GpsMode::Application) {
        impl_->enterApplication(std::nullopt, true, true);
    } else {
        impl_->enterBootloader(mode, std::nullopt, true);
    }
}

void SimulatedGps::unplug() {
    impl_->change(GpsMode::Unplugged, false, std::nullopt, true);
}

void SimulatedGps::powerOn() {
    impl_->bootFromFlash(std::nullopt, true);
}

GpsMode SimulatedGps::mode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mode;
}

uint16_t SimulatedGps::usbVendorId() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mode == GpsMode::RomBootloader ? kRomVendorId : kGpsVendorId;
}

uint16_t SimulatedGps::usbProductId() const {
    std::lock_guard lock(impl_->mutex);
    switch (impl_->mode) {
        case GpsMode::Application:
            return kAppProductId;
        case GpsMode::FlashBootloader:
            return static_cast<uint16_t>(impl_->config.deviceType +
                                         (impl_->config.japanese ? kJapaneseOffset : 0));
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
    std::lock_guard lock(impl_->mutex);
    return impl_->config.deviceType + (impl_->config.japanese ? kJapaneseOffset : 0);
}

bool SimulatedGps::waitForMode(GpsMode mode, int64_t timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, impl_->clock.realDuration(timeoutMs),
                                   [&] { return impl_->mode == mode; });
}

bool SimulatedGps::waitForDrive(bool mounted, int64_t timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, impl_->clock.realDuration(timeoutMs),
                                   [&] { return impl_->driveVisibleLocked() == mounted; });
}

bool SimulatedGps::waitUntilSettled(int64_t timeoutMs) const {
    return impl_->scheduler->waitIdle(impl_->clock.realDuration(timeoutMs));
}

void SimulatedGps::setEventSink(std::function<void(platform::DeviceEvent)> sink) {
    std::lock_guard lock(impl_->outboxMutex);
    impl_->sink = std::move(sink);
}

bool SimulatedGps::driveMounted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->driveVisibleLocked();
}

std::string SimulatedGps::driveFolder() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config.driveFolder;
}

std::string SimulatedGps::driveRoot() const {
    std::string root = driveFolder();
    if (!root.empty() && root.back() != '/') root += '/';
    return root;
}

std::optional<platform::VolumeInfo> SimulatedGps::driveVolume() const {
    DriveStyle style;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->driveVisibleLocked()) return std::nullopt;
        style = impl_->config.driveStyle;
    }
    platform::VolumeInfo v;
    v.root = driveRoot();
    v.removable = true;
    v.label = style == DriveStyle::LabelledQuorta ? "QUORTA" : "";
    v.fileSystem = style == DriveStyle::Ntfs ? "NTFS" : "FAT32";
    return v;
}

void SimulatedGps::removeDrive() {
    impl_->change(std::nullopt, false, std::nullopt, false);
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

GpsConfig SimulatedGps::config() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config;
}

void SimulatedGps::setFaults(const GpsFaults& faults) {
    // As a change that keeps mode and drive, so that a drive the fault hides
    // or shows raises its event like any other.
    impl_->change(std::nullopt, std::nullopt, std::nullopt, false,
                  [&] { impl_->config.faults = faults; });
    impl_->applyReadOnly(faults.driveReadOnly);
}

void SimulatedGps::setTiming(const GpsTiming& timing) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.timing = timing;
}

void SimulatedGps::setVersion(int major, int minor) {
    images::ImageVersion version;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->config.versionMajor = major;
        impl_->config.versionMinor = minor;
        version = {impl_->config.deviceType, impl_->config.japanese ? kJapaneseOffset : 0, major,
                   minor};
    }
    impl_->loadImage(makeFirmwareImage(version));
}

void SimulatedGps::setRadioBuild(int32_t build) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.radioBuild = build;
}

int32_t SimulatedGps::radioBuild() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config.radioBuild;
}

void SimulatedGps::unplugAt(const UnplugPlan& plan) {
    std::lock_guard lock(impl_->mutex);
    impl_->plan = plan;
}

void SimulatedGps::pullCable(int64_t plugBackAfterMs, const std::string& why) {
    UnplugPlan plan;
    plan.plugBackAfterMs = plugBackAfterMs;
    impl_->pullCable(plan, why);
}

void SimulatedGps::clearUnplugPlan() {
    std::lock_guard lock(impl_->mutex);
    impl_->plan.reset();
}

std::vector<LinkCommandFrame> SimulatedGps::receivedCommands() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

int SimulatedGps::openAttempts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->openAttempts;
}

std::vector<std::string> SimulatedGps::activity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->activity;
}

}  // namespace sim
