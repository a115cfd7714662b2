// The insides of one SimulatedGps, shared by the files that play its parts:
// SimulatedGps.cpp (its life, its identity on the bus, its public calls),
// GpsApplicationLink.cpp (its application's command link),
// GpsBootloaders.cpp (its two bootloaders and its flash), GpsDrive.cpp (its
// drive) and GpsRadioAndFonts.cpp (its radio and its font loader). Only
// those include it; sim/SimulatedGps.h is the device's face.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hidport/hidport.h"
#include "sim/BootloaderTarget.h"
#include "sim/LinkFrames.h"
#include "sim/SimulatedGps.h"

namespace sim {

// The GPS's own numbers (identities, command-link commands), kept apart from
// the updater's core/ on purpose: the simulated GPS is the host's independent
// peer, so a wrong number on the host's side shows up in the tests.
namespace gps {

inline constexpr uint16_t kGpsVendorId = 0x2B29;
inline constexpr uint16_t kAppProductId = 0x55;
inline constexpr uint16_t kRomVendorId = 0x15A2;
inline constexpr uint16_t kRomProductId = 0x73;
// The hidraw node a refused open names (GpsFaults::linkAccessLateMs).
inline constexpr const char* kLinkNodeName = "/dev/hidraw0";
inline constexpr int kJapaneseOffset = 60;

inline constexpr uint8_t kReadDeviceInfo = 6;
inline constexpr uint8_t kNordicEraseKeys = 7;
inline constexpr uint8_t kJumpToBl = 9;
inline constexpr uint8_t kFactoryReset = 13;
inline constexpr uint8_t kUpdateNordic = 14;
inline constexpr uint8_t kNrfGetVersion = 58;
inline constexpr uint8_t kKanjiProgramFlash = 64;
inline constexpr uint8_t kForeignReplyCode = 0x21;  // answers no command of the link
inline constexpr uint8_t kRadioFailedCode = '%';

// The bootloader protocol, as far as the GPS watches its own bootloaders.
inline constexpr uint8_t kCommandOutReport = 1;
inline constexpr uint8_t kDataOutReport = 2;
inline constexpr uint8_t kCommandInReport = 3;
inline constexpr uint8_t kGenericResponseTag = 0xA0;

// "USB\\VID_2B29&PID_0055&REV_0100" and the like.
std::string hardwareIdText(uint16_t vid, uint16_t pid);
// "7.63 Japanese", for the activity lines.
std::string versionText(int major, int minor, bool japanese);

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
    std::string permissionDeniedNode() const override;
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

    bool open() override;

    void close() override;

    int read(unsigned char* data, size_t length, int milliseconds) override;

    int write(const unsigned char* data, size_t length, int milliseconds) override;

    // The device left the bus: every handle on this node is dead.
    void kill();

  private:
    bool alive();

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

}  // namespace gps

// --- The device ----------------------------------------------------------------

struct SimulatedGps::Impl : std::enable_shared_from_this<Impl> {
    Impl(GpsConfig c, platform::Clock& clk) : clock(clk), config(std::move(c)) {}

    using Action = std::function<void(uint64_t generation)>;

    void start();
    void shutdown();
    // The settings as they are now, for work done without the lock.
    GpsConfig configCopy() const {
        std::lock_guard lock(mutex);
        return config;
    }

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
        for (gps::LinkHandle* link : openLinks) link->pushLocked(report, readyAt, announcesRestart);
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
    int64_t appShownAtMs = 0;     // clock time of the latest one
    // While the node is not yet the user's (GpsFaults::linkAccessLateMs).
    bool linkAccessLateLocked() const {
        return clock.nowMs() - appShownAtMs < config.faults.linkAccessLateMs;
    }
    std::vector<gps::LinkHandle*> openLinks;
    std::vector<LinkCommandFrame> received;
    std::vector<std::string> activity;
    std::optional<UnplugPlan> plan;
    bool resetPending = false;
    bool radioRestartPending = false;

    std::mutex identityMutex;                   // one change of identity at a time; before `mutex`
    std::shared_ptr<gps::LinkHandle> freeLink;  // the unopened slot on the bus, under identityMutex
    std::shared_ptr<BootloaderTarget> flashBl;
    std::shared_ptr<BootloaderTarget> romBl;
    std::shared_ptr<gps::UsbNode> node;  // the identity on the bus, under identityMutex

    std::mutex driveMutex;  // attribute changes of the drive folder
    bool readOnlyApplied = false;

    std::mutex outboxMutex;
    std::deque<platform::DeviceEvent> outbox;
    std::function<void(platform::DeviceEvent)> sink;

    std::unique_ptr<gps::Scheduler> scheduler;
};

}  // namespace sim
