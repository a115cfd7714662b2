#include "CliWindow.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "CliParts.h"
#include "core/Backup.h"
#include "core/Context.h"
#include "core/DeviceScan.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/TestImages.h"
#include "core/UpdateOrchestration.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/WorkerThreads.h"
#include "platform/DebugOutput.h"
#include "platform/DeviceEvents.h"
#include "platform/InstanceLock.h"

namespace ui_cli {

namespace {

// Nothing happening for this long (on the clock) with no busy flag means the
// run has come to rest; with a busy flag, that it is stuck.
constexpr int64_t kSettleMs = 3000;
constexpr int64_t kSettleRealMs = 300;
constexpr int64_t kStallMs = 180000;
constexpr auto kPoll = std::chrono::milliseconds(20);

int64_t realMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A Quorta GPS in the microcontroller's ROM bootloader is on the bus.
bool romBootloaderPresent() {
    platform::UsbDeviceList* usb = core::services().usbDevices;
    if (!usb) return false;
    for (const std::string& id : usb->hardwareIds()) {
        if (id.find("VID_15A2") != std::string::npos) return true;
    }
    return false;
}

}  // namespace

CliWindow::CliWindow(const core::FrontEndContext& context, std::istream& in, std::ostream& out,
                     std::ostream& err, const std::atomic<bool>* interrupted, bool echoInput,
                     bool drawsBar)
    : context_(context),
      in_(in),
      out_(out),
      err_(err),
      interrupted_(interrupted),
      echoInput_(echoInput),
      drawsBar_(drawsBar),
      // The loop waits on the caller's own queue.
      caller_([] {}),
      procedure_(*this, *this, context.lock) {
    for (const core::MenuEntry& entry : core::kMenuLayout) {
        if (entry.id >= 0) menuEnabled_[entry.id] = true;
    }
    pendingCommands_ = context.options.menuCommands;
}

CliWindow::~CliWindow() {
    caller_.close();
    if (context_.events && eventsStarted_) context_.events->stop();
}

int CliWindow::run() {
    const core::ProgramOptions& options = context_.options;
    freshLine(out_) << core::kProgramName << "\n";
    if (context_.events) {
        eventsStarted_ = context_.events->start([this](platform::DeviceEvent event) {
            caller_.post([this, event] {
                if (!destroyed_) procedure_.onDeviceChange(event);
            });
        });
    }
    procedure_.onCreate();

    // The log view and the About box need no device: before the scan, so
    // that the log holds the whole run.
    auto take = [&](int id) {
        auto it = std::find(pendingCommands_.begin(), pendingCommands_.end(), id);
        if (it == pendingCommands_.end()) return false;
        pendingCommands_.erase(it);
        return true;
    };
    const bool aboutAlone = options.menuCommands.size() == 1 &&
                            options.menuCommands[0] == core::kMenuAbout && !options.update;
    if (take(core::kMenuShowLog)) procedure_.onCommand(core::kMenuShowLog);
    if (take(core::kMenuAbout)) procedure_.onCommand(core::kMenuAbout);
    if (aboutAlone) {
        quit_ = true;
    } else {
        render();
        procedure_.afterShow();
        render();
        noteActivity();
        loop();
    }

    caller_.close();
    if (context_.events && eventsStarted_) {
        context_.events->stop();
        eventsStarted_ = false;
    }
    // The run has ended: the keep-awake lock goes now (device work still
    // finishing gives it back as it ends), not after its linger.
    core::setPowerLingerMs(0);
    if (core::runningWorkerThreads() > 0) {
        // The window is gone but the device may be in the middle of a write:
        // say why the program has not ended yet.
        std::fputs("quorta-updater: waiting for the device work in progress to finish\n", stderr);
    }
    core::joinWorkerThreads();
    if (aboutAlone) return core::kExitOk;
    // Files of the GPS kept only on this computer: said at the end, and the
    // run has not ended well.
    const std::string held = core::heldFilesNotice();
    if (!held.empty()) {
        freshLine(out_) << terminalText(held) << "\n";
        out_.flush();
        return core::kExitFailure;
    }
    if (commandFailed_ || core::state().failureShown) return core::kExitFailure;
    // The update ended done, or (after a factory reset or the language
    // packs) the device shown runs the carried firmware and radio.
    const bool latest = core::updatePhases().current() == core::UpdatePhase::Done ||
                        (core::state().ishf && !offerLeft_ &&
                         core::isFullyUpdated(core::deviceRecord().snapshot()));
    return latest ? core::kExitOk : core::kExitFailure;
}

void CliWindow::noteActivity() {
    lastActivityMs_ = core::clock().nowMs();
    lastActivityRealMs_ = realMs();
}

void CliWindow::loop() {
    while (!quit_) {
        closedDialogs_.clear();
        if (interrupted_ && interrupted_->load()) {
            freshLine(out_) << "Interrupted.\n";
            out_.flush();
            commandFailed_ = true;
            return;
        }
        if (runNextTask() || fireDueTimers()) {
            render(caller_.waitForWork(std::chrono::milliseconds(0)));
            noteActivity();
            continue;
        }
        if (settled()) decide();
    }
}

bool CliWindow::runNextTask() {
    caller_.waitForWork(kPoll);
    return caller_.runOne();
}

bool CliWindow::fireDueTimers() {
    const int64_t now = core::clock().nowMs();
    for (auto& [id, due] : timers_) {
        if (due <= now) {
            // Periodic until killed, as a window timer is.
            due = now + timerPeriods_[id];
            procedure_.onTimer(id);
            return true;
        }
    }
    return false;
}

bool CliWindow::settled() {
    const core::UpdaterState& st = core::state();
    const int64_t quietMs = core::clock().nowMs() - lastActivityMs_;
    const bool busy = st.updateInProgress || st.updateThreadActive || st.factoryResetPending ||
                      st.languagePackBusy || st.jbl || core::runningWorkerThreads() > 0 ||
                      dialog_ != nullptr || !timers_.empty();
    if (busy) {
        if (quietMs >= kStallMs) {
            if (context_.simulated) {
                freshLine(out_) << "Nothing has happened for " << kStallMs / 1000
                                << " seconds: the simulated run is stuck.\n";
                commandFailed_ = true;
                quit_ = true;
            } else if (!stallNoticeShown_) {
                stallNoticeShown_ = true;
                freshLine(out_) << "Nothing has happened for " << kStallMs / 1000
                                << " seconds. Do not unplug the GPS while it is being written; "
                                   "Ctrl+C ends the updater.\n";
            }
            out_.flush();
        }
        return false;
    }
    return quietMs >= kSettleMs && realMs() - lastActivityRealMs_ >= kSettleRealMs;
}

void CliWindow::decide() {
    const core::UpdaterState& st = core::state();
    const bool buttonShown = visible_[core::Control::UpdateButton];
    // A GPS shown with no update begun, whose record carries an offer.
    const bool offersUpdate = buttonShown &&
                              core::updatePhases().current() == core::UpdatePhase::DeviceShown &&
                              !core::deviceRecord().snapshot().updateLabel.empty();

    if (offersUpdate && context_.options.update && !updatePressed_) {
        updatePressed_ = true;
        freshLine(out_) << "Pressing [" << buttonText_ << "]\n";
        procedure_.onCommand(core::kActionButtonCommand);
        render();
        noteActivity();
        return;
    }
    if (!pendingCommands_.empty() && st.ishf) {
        const int id = pendingCommands_.front();
        pendingCommands_.erase(pendingCommands_.begin());
        std::string text = core::menuItemText(id);
        text.erase(std::remove(text.begin(), text.end(), '&'), text.end());
        if (menuEnabled_[id]) {
            freshLine(out_) << "Menu: " << text << "\n";
            procedure_.onCommand(id);
        } else {
            freshLine(out_) << "Menu: " << text << " is not available now.\n";
            commandFailed_ = true;
        }
        render();
        noteActivity();
        return;
    }
    if (buttonShown) {
        if (offersUpdate && !context_.options.update) {
            offerLeft_ = true;
            finish("An update is offered; run with --update to install it.");
        } else {
            finish(nullptr);
        }
        return;
    }
    // No device is being shown.
    if (romBootloaderPresent()) {
        // The recovery dialog was cancelled, or the recovery did not take:
        // nothing more happens until someone chooses a model.
        finish("The GPS is still in its ROM bootloader: it was not recovered.");
        return;
    }
    if (context_.simulated) {
        finish("No Quorta GPS was found.");
        return;
    }
    if (!waitingNoticeShown_) {
        waitingNoticeShown_ = true;
        freshLine(out_) << "Waiting for a Quorta GPS to be connected (Ctrl+C to stop).\n";
        out_.flush();
    }
}

void CliWindow::finish(const char* why) {
    if (why) freshLine(out_) << why << "\n";
    out_.flush();
    quit_ = true;
}

// --- core::Window -----------------------------------------------------------------

bool CliWindow::onLoop(const std::function<void()>& fn) {
    return caller_.call(fn);
}

void CliWindow::showControl(core::Control control, bool show) {
    onLoop([&] {
        if (control == core::Control::LogView) {
            if (show && !logShown_) freshLine(err_) << logHistory_;
            logShown_ = show;
            err_.flush();
        }
        visible_[control] = show;
    });
}

void CliWindow::setButtonText(const std::string& text) {
    onLoop([&] { buttonText_ = terminalText(text); });
}

void CliWindow::enableMenuItem(int id, bool enable) {
    onLoop([&] { menuEnabled_[id] = enable; });
}

void CliWindow::invalidate(bool) {}

void CliWindow::update() {
    onLoop([&] { render(true); });
}

void CliWindow::repaintNow() {
    onLoop([&] { render(true); });
}

void CliWindow::openUrl(const std::string& url) {
    onLoop([&] {
        freshLine(out_) << "Open this page in your web browser: " << url << "\n";
        out_.flush();
    });
}

void CliWindow::sendMessage(core::WindowMessage message, int param) {
    onLoop([&] {
        if (!destroyed_) procedure_.onMessage(message, param);
    });
}

void CliWindow::callOnWindowThread(const std::function<void()>& fn) {
    onLoop(fn);
}

void CliWindow::destroy() {
    onLoop([&] {
        if (destroyed_) return;
        render();
        // Only a worker's fatal problem closes the terminal's window.
        commandFailed_ = true;
        destroyed_ = true;
        timers_.clear();
        if (dialog_) destroyRecoveryDialog();
        procedure_.onDestroy();
    });
}

void CliWindow::quit(int) {
    // The exit code of the terminal run says whether the device ended up
    // with the latest software; see run().
    onLoop([&] { quit_ = true; });
}

// --- core::WindowHost --------------------------------------------------------------

void CliWindow::startTimer(int id, int periodMs) {
    timerPeriods_[id] = periodMs;
    timers_[id] = core::clock().nowMs() + periodMs;
}

void CliWindow::killTimer(int id) {
    timers_.erase(id);
    timerPeriods_.erase(id);
}

void CliWindow::endProcess(int) {
    destroyed_ = true;
    timers_.clear();
    if (dialog_) destroyRecoveryDialog();
    quit_ = true;
}

}  // namespace ui_cli
