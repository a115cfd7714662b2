// The whole updater against a simulated computer with a simulated GPS: a
// window thread that runs the event handlers and the window messages as the
// window procedure does, real worker threads, the real report table, the
// Linux file service in a private folder, and every wait on one scaled clock.
//
// Used by the end-to-end suite and by the update benchmark; no test framework
// in here.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Context.h"
#include "core/DeviceRecord.h"
#include "core/DeviceScan.h"
#include "core/FirmwareProgramming.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdateOrchestration.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Files.h"
#include "platform/ForwardingFiles.h"
#include "platform/Threads.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/XdgPaths.h"
#include "sim/SimulatedMachine.h"

namespace e2e {

struct StatusCall {
    int complete = 0;
    std::optional<std::string> title;
    std::optional<std::string> detail;
};

struct Box {
    std::string text;
    std::string caption;
};

// The window: its thread runs posted tasks one after another, like a message
// loop; the Window port calls record what the window would show.
class RigWindow : public core::Window {
  public:
    RigWindow() : thread_([this] { loop(); }) {}
    ~RigWindow() override { stop(); }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    // Queues a task for the window thread.
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        wake_.notify_all();
    }

    bool onWindowThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // True when nothing is queued or running on the window thread.
    bool idle() {
        std::lock_guard lock(mutex_);
        return queue_.empty() && !busy_;
    }

    // --- core::Window ---
    void showControl(core::Control control, bool show) override {
        std::lock_guard lock(mutex_);
        if (control == core::Control::UpdateButton) buttonVisible_ = show;
        if (control == core::Control::ProgressBar) progressVisible_ = show;
    }
    void setButtonText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        buttonText_ = text;
    }
    void enableMenuItem(int id, bool enable) override {
        std::lock_guard lock(mutex_);
        menu_[id] = enable;
    }
    void invalidate(bool) override {}
    void update() override {}
    void repaintNow() override {}
    core::BoxAnswer messageBox(const std::string& text, const std::string& caption,
                               core::BoxButtons buttons, core::BoxIcon) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back({text, caption});
        switch (buttons) {
            case core::BoxButtons::Ok:
            case core::BoxButtons::OkCancel:
                return core::BoxAnswer::Ok;
            case core::BoxButtons::YesNo:
                return core::BoxAnswer::Yes;
        }
        return core::BoxAnswer::Ok;
    }
    void openUrl(const std::string&) override {}
    void sendMessage(core::WindowMessage message, int = 0) override {
        callOnWindowThread([this, message] { dispatch(message); });
    }
    void callOnWindowThread(const std::function<void()>& fn) override {
        if (onWindowThread()) {
            fn();
            return;
        }
        std::mutex doneMutex;
        std::condition_variable doneCv;
        bool done = false;
        post([&] {
            fn();
            std::lock_guard lock(doneMutex);
            done = true;
            doneCv.notify_all();
        });
        std::unique_lock lock(doneMutex);
        doneCv.wait(lock, [&] { return done; });
    }
    void destroy() override {
        std::lock_guard lock(mutex_);
        destroyed_ = true;
    }
    void quit(int) override {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    void appendLog(const std::string&) override {}
    void startMarquee() override {}
    void setProgress(int) override {}
    bool isActive() override { return active; }

    // Whether the user has the window in front.
    std::atomic<bool> active{true};

    // --- What the window shows ---
    bool buttonVisible() {
        std::lock_guard lock(mutex_);
        return buttonVisible_;
    }
    bool progressVisible() {
        std::lock_guard lock(mutex_);
        return progressVisible_;
    }
    std::string buttonText() {
        std::lock_guard lock(mutex_);
        return buttonText_;
    }
    std::vector<Box> boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    bool destroyed() {
        std::lock_guard lock(mutex_);
        return destroyed_;
    }
    int recoveryDialogsOpened() {
        std::lock_guard lock(mutex_);
        return recoveryDialogs_;
    }

  private:
    // The window procedure's share of the program's own messages.
    void dispatch(core::WindowMessage message) {
        core::UpdaterState& st = core::state();
        switch (message) {
            case core::WindowMessage::OnDeviceInfoRead:
                core::onDeviceInfoRead();
                return;
            case core::WindowMessage::CreateRecoveryModeDlg:
                if (st.recoveryDialogOpen.exchange(true)) return;
                {
                    std::lock_guard lock(mutex_);
                    ++recoveryDialogs_;
                }
                st.setStatus("Device Recovery Mode\n", " ");
                return;
            case core::WindowMessage::CloseRecoveryModeDlg:
                st.recoveryDialogOpen = false;
                return;
            case core::WindowMessage::StartRecoveryFlash:
                st.updateInProgress = true;
                st.setStatus("Device Recovery Mode\n", " ");
                showControl(core::Control::ProgressBar, true);
                core::onEmergencyProgramFlashMode(core::deviceRecord(), st.recoveryDeviceType,
                                                  st.recoveryVariant);
                return;
        }
    }

    void loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                task = std::move(queue_.front());
                queue_.pop_front();
                busy_ = true;
            }
            task();
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool buttonVisible_ = false;
    bool progressVisible_ = false;
    std::string buttonText_;
    std::map<int, bool> menu_;
    std::vector<Box> boxes_;
    bool destroyed_ = false;
    bool quit_ = false;
    int recoveryDialogs_ = 0;
    std::thread thread_;  // last: starts after everything above exists
};

// The Linux file service, with a disk that fills up: writes to new files
// below `fullBelow` stop after `budget` bytes.
class RigFiles : public platform::ForwardingFiles {
  public:
    RigFiles() : ForwardingFiles(real) {}

    std::string fullBelow;
    std::optional<size_t> budget;
    bool failCopyTree = false;     // every folder copy fails part way
    std::string failCopyTreeInto;  // folder copies into this folder fail (either kind)

    std::unique_ptr<platform::WritableFile> createFile(const std::string& path,
                                                       std::string* error) override {
        auto file = real.createFile(path, error);
        if (!file || fullBelow.empty() || path.rfind(fullBelow, 0) != 0 || !budget) return file;
        return std::make_unique<Filling>(std::move(file), *this);
    }
    platform::TreeResult copyTree(const std::string& from, const std::string& to) override {
        if (failCopyTree || (!failCopyTreeInto.empty() && to.rfind(failCopyTreeInto, 0) == 0)) {
            platform::TreeResult r;
            r.error = "Input/output error";
            return r;
        }
        return real.copyTree(from, to);
    }
    platform::TreeResult copyMissing(const std::string& from, const std::string& to) override {
        if (!failCopyTreeInto.empty() && to.rfind(failCopyTreeInto, 0) == 0) {
            platform::TreeResult r;
            r.error = "Input/output error";
            return r;
        }
        return real.copyMissing(from, to);
    }

    platform::LinuxFiles real;

  private:
    class Filling : public platform::ForwardingWritableFile {
      public:
        Filling(std::unique_ptr<platform::WritableFile> inner, RigFiles& owner)
            : ForwardingWritableFile(std::move(inner)), owner_(owner) {}
        size_t write(const uint8_t* data, size_t length) override {
            std::lock_guard lock(owner_.mutex_);
            const size_t allowed = std::min(length, *owner_.budget);
            *owner_.budget -= allowed;
            full_ = allowed < length;
            return inner().write(data, allowed);
        }
        std::string error() const override {
            return full_ ? "No space left on device" : inner().error();
        }

      private:
        RigFiles& owner_;
        bool full_ = false;
    };
    std::mutex mutex_;
};

class RigDebugOutput : public platform::DebugOutput {
  public:
    void write(std::string_view) override {}
};

// The program, minus its toolkit, against a simulated computer.
class UpdateRig {
  public:
    // Every wait on a scaled clock of its own.
    explicit UpdateRig(double timeScale)
        : ownClock_(std::make_unique<platform::ScaledClock>(timeScale)), clock(*ownClock_) {
        setUp();
    }
    // Every wait on the given clock, which must outlive the rig.
    explicit UpdateRig(platform::Clock& sharedClock) : clock(sharedClock) { setUp(); }

  private:
    void setUp() {
        machine = std::make_unique<sim::SimulatedMachine>(&clock);
        paths = std::make_unique<platform::XdgPaths>(machine->folder() + "/cache");
        wire();

        // The events as the window procedure hands them to their workflows.
        machine->deviceEvents().start([this](platform::DeviceEvent e) {
            window.post([e] {
                switch (e) {
                    case platform::DeviceEvent::DevNodesChanged:
                        core::onDevNodesChanged();
                        return;
                    case platform::DeviceEvent::VolumeArrival:
                        core::onDeviceArrival();
                        return;
                    case platform::DeviceEvent::VolumeRemoveComplete:
                        core::onDeviceRemoveComplete();
                        return;
                }
            });
        });
    }

    // The current context wired to the simulated computer, as main.cpp and
    // the front end's start-up wire the program's.
    void wire() {
        core::Services s;
        s.clock = &clock;
        s.usbDevices = &machine->usbDevices();
        s.volumes = &machine->volumes();
        s.volumeEjector = &machine->ejector();
        s.debugOutput = &debugOutput;
        s.paths = paths.get();
        s.files = &files;
        s.window = &window;
        s.threads = &threads;
        s.startOnBootloaderModeThread = core::startOnBootloaderModeThread;
        core::setServices(s);

        // The report table as start-up fills it, with every call recorded.
        core::installReportCallbacks();
        core::reportCallbacks().reportStatus = [this](int complete, const char* title,
                                                      const char* detail) {
            {
                std::lock_guard lock(mutex_);
                StatusCall call;
                call.complete = complete;
                if (title) call.title = title;
                if (detail) call.detail = detail;
                statuses_.push_back(std::move(call));
            }
            core::reportStatus(complete, title, detail);
        };
        core::reportCallbacks().logLine = [this](const std::string& line) {
            {
                std::lock_guard lock(mutex_);
                log_.push_back(line);
            }
            core::windowLogLine(line);
        };
    }

  public:
    ~UpdateRig() {
        // Nothing raises events or starts work once this is done: events
        // first, then the window's queue, the workers, the devices.
        machine->deviceEvents().stop();
        waitFor([this] { return window.idle() && threads.running() == 0; },
                std::chrono::seconds(60));
        threads.joinAll();
        window.stop();
        threads.joinAll();
        machine.reset();
    }

    UpdateRig(const UpdateRig&) = delete;
    UpdateRig& operator=(const UpdateRig&) = delete;

    sim::SimulatedGps& addGps(sim::GpsConfig config) { return machine->addGps(std::move(config)); }

    // The program ends and starts again on the same computer: a fresh
    // context, wired as before; the GPS and its drive stay as they are.
    // Only while nothing runs.
    void restartProgram() {
        restarted_.reset();
        restarted_.emplace();
        wire();
    }

    // The program's start: a device-nodes-changed event, then one more scan.
    void startUp() {
        window.post([] {
            core::onDevNodesChanged();
            core::deviceScan();
        });
    }

    // The action button, as the window procedure handles a click on it.
    void clickUpdateButton() {
        window.post([this] {
            core::UpdaterState& st = core::state();
            const core::DeviceRecord r = core::deviceRecord().snapshot();
            if (r.updateLabel.size() >= 6 && r.updateLabel.compare(0, 6, "Update") == 0) {
                if (window.messageBox(r.promptText, "", core::BoxButtons::OkCancel,
                                      core::BoxIcon::Question) != core::BoxAnswer::Ok) {
                    return;
                }
                st.gcbn = r.dlv == core::kJapaneseVariant ? core::kJapaneseVariant : 0;
                st.reverseUpgrade = true;
                core::logLine(" Regular -=FORCE REVERSE UPGRADE=- ");
                core::startUpdateWorkerThread();
            }
        });
    }

    // "Force update" from the menu.
    void forceUpdate() {
        window.post([] {
            core::UpdaterState& st = core::state();
            st.gcbn = core::deviceRecord().snapshot().dlv == core::kJapaneseVariant
                          ? core::kJapaneseVariant
                          : 0;
            st.reverseUpgrade = true;
            core::logLine(" Force -=FORCE REVERSE UPGRADE=- ");
            core::startUpdateWorkerThread();
        });
    }

    // The recovery dialog's OK with a model and variant chosen.
    void chooseInRecoveryDialog(int deviceType, int variant) {
        window.post([this, deviceType, variant] {
            core::state().recoveryDeviceType = deviceType;
            core::state().recoveryVariant = variant;
            window.sendMessage(core::WindowMessage::CloseRecoveryModeDlg);
            window.sendMessage(core::WindowMessage::StartRecoveryFlash);
        });
    }

    // Polls `done` until it holds or `timeout` of real time has passed.
    template <class Pred>
    bool waitFor(Pred done, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Nothing left to happen: no worker, an idle window, every event
    // delivered, the GPS without timed changes; and it stays so for a while
    // of the clock's time.
    bool waitQuiet(sim::SimulatedGps& gps, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        int calm = 0;
        while (calm < 3) {
            if (std::chrono::steady_clock::now() > until) return false;
            const bool quiet = threads.running() == 0 && window.idle() && gps.waitUntilSettled(0) &&
                               machine->deviceEvents().waitDelivered(std::chrono::milliseconds(0));
            calm = quiet ? calm + 1 : 0;
            std::this_thread::sleep_for(clock.realDuration(2000));
        }
        return true;
    }

    bool showsLatest() {
        return core::state().statusDetail() == core::kLatestSoftwareText &&
               threads.running() == 0 && window.idle();
    }

    std::vector<StatusCall> statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::string> log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    int countLog(const std::string& line) {
        auto lines = log();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool logged(const std::string& line) { return countLog(line) > 0; }
    bool sawDetail(const std::string& detail) {
        for (const StatusCall& c : statuses())
            if (c.detail == detail) return true;
        return false;
    }
    bool sawTitle(const std::string& title) {
        for (const StatusCall& c : statuses())
            if (c.title == title) return true;
        return false;
    }
    // Index of the first status with this detail (or title) at or after
    // `from`; -1 when none.
    int statusIndex(const std::string& text, int from = 0) {
        auto all = statuses();
        for (size_t i = static_cast<size_t>(from); i < all.size(); ++i)
            if (all[i].detail == text || all[i].title == text) return static_cast<int>(i);
        return -1;
    }

  private:
    std::unique_ptr<platform::ScaledClock> ownClock_;

  public:
    platform::Clock& clock;
    // Before the threads and collaborators, after the clock its devices use.
    core::ScopedContext context{hidport::Backend::Simulated};
    std::optional<core::ScopedContext> restarted_;  // the context of a second start
    std::unique_ptr<sim::SimulatedMachine> machine;
    std::unique_ptr<platform::XdgPaths> paths;
    RigFiles files;
    RigDebugOutput debugOutput;
    platform::StdThreads threads;
    RigWindow window;

  private:
    std::mutex mutex_;
    std::vector<StatusCall> statuses_;
    std::vector<std::string> log_;
};

}  // namespace e2e
