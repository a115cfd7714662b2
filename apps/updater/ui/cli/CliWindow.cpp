#include "CliWindow.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "core/Backup.h"
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
// The log kept for a later "Show log".
constexpr size_t kLogHistoryLimit = 4 << 20;

int64_t realMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Line ends as a terminal wants them.
std::string terminalText(const std::string& text) {
    return platform::plainLineEnds(text);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(terminalText(text));
    std::string line;
    while (std::getline(stream, line)) lines.push_back(line);
    while (!lines.empty() && lines.back().find_first_not_of(' ') == std::string::npos) {
        lines.pop_back();
    }
    return lines;
}

bool blank(const std::string& text) {
    return text.find_first_not_of(" \r\n\t") == std::string::npos;
}

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
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

// Boxes that tell of a failure.
bool reportsFailure(const std::string& text, const std::string& caption) {
    return caption == core::kWirelessProblemCaption || caption == "Factory Reset Failed" ||
           caption == core::kTestImagesCaption || text == core::kWorkerLanguagePackFailedText;
}

// Questions whose Yes does nothing but open a web page.
bool onlyOpensWebPage(const std::string& text) {
    return text == core::kBackupReminderText || text == core::kEraseKeysInstructionsQuestion;
}

const char* answerName(core::BoxAnswer answer) {
    switch (answer) {
        case core::BoxAnswer::Ok:
            return "OK";
        case core::BoxAnswer::Cancel:
            return "Cancel";
        case core::BoxAnswer::Yes:
            return "Yes";
        case core::BoxAnswer::No:
            return "No";
    }
    return "?";
}

}  // namespace

// The recovery dialog's check boxes.
class CliWindow::Dialog : public core::RecoveryDialogControls {
  public:
    Dialog(core::Window& window) : procedure(window, *this) {}
    bool isChecked(int id) const override {
        auto it = checked.find(id);
        return it != checked.end() && it->second;
    }
    void setChecked(int id, bool on) override { checked[id] = on; }

    std::map<int, bool> checked;
    core::RecoveryDialogProcedure procedure;
};

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
    if (commandFailed_ || failureShown_) return core::kExitFailure;
    // The last status says so, or (after a factory reset or the language
    // packs, which end with their own texts) the device shown runs the
    // carried firmware and radio.
    const bool latest = core::state().statusDetail() == core::kLatestSoftwareText ||
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
    const bool offersUpdate = buttonShown && buttonText_.rfind("Update", 0) == 0;

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

// --- Output -------------------------------------------------------------------

void CliWindow::printBlock(const char* label, const std::string& text) {
    const std::vector<std::string> lines = linesOf(text);
    const std::string indent(std::string(label).size(), ' ');
    for (size_t i = 0; i < lines.size(); ++i) {
        freshLine(out_) << (i == 0 ? label : indent.c_str()) << lines[i] << "\n";
    }
    if (lines.empty()) freshLine(out_) << label << "\n";
}

void CliWindow::render(bool textsOnly) {
    if (destroyed_) return;
    const core::UpdaterState& st = core::state();
    const std::string title = st.statusTitle();
    const std::string detail = st.statusDetail();
    const bool warning = core::unplugWarningShown();
    const bool busy = visible_[core::Control::ProgressBar];
    const std::string button = visible_[core::Control::UpdateButton] ? buttonText_ : "";

    if (title != shownTitle_) {
        shownTitle_ = title;
        if (!blank(title)) printBlock("Title:  ", title);
    }
    if (detail != shownDetail_) {
        shownDetail_ = detail;
        if (!blank(detail)) printBlock("Detail: ", detail);
    }
    // Controls flip back and forth inside one handler; they are shown as
    // they stand once the window thread is idle.
    if (textsOnly) {
        if (!barOnLine_) drawBar();
        out_.flush();
        return;
    }
    if (warning != shownWarning_) {
        shownWarning_ = warning;
        if (warning) freshLine(out_) << "Warning: " << core::kUnplugWarningText << "\n";
    }
    if (busy != shownBusy_) {
        shownBusy_ = busy;
        freshLine(out_) << "Busy:   " << (busy ? "yes" : "no") << "\n";
    }
    if (button != shownButton_) {
        shownButton_ = button;
        if (!button.empty()) freshLine(out_) << "Button: [" << button << "]\n";
    }
    if (!barOnLine_) drawBar();
    out_.flush();
}

std::string CliWindow::readLine(bool* ok) {
    std::string line;
    out_.flush();
    *ok = static_cast<bool>(std::getline(in_, line));
    if (interrupted_ && interrupted_->load()) *ok = false;
    if (!*ok) {
        in_.clear(std::ios::eofbit);  // stays at its end
        return {};
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Answers from a file or a pipe are not echoed by a terminal.
    if (echoInput_) freshLine(out_) << line << "\n";
    return line;
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

core::BoxAnswer CliWindow::messageBox(const std::string& text, const std::string& caption,
                                      core::BoxButtons buttons, core::BoxIcon) {
    core::BoxAnswer answer = core::unansweredBox(buttons);
    if (reportsFailure(text, caption)) failureShown_ = true;
    const bool asked = onLoop([&] {
        render();
        freshLine(out_) << "\n";
        if (!caption.empty()) freshLine(out_) << "[" << terminalText(caption) << "]\n";
        for (const std::string& line : linesOf(text)) freshLine(out_) << line << "\n";
        const char* prompt = buttons == core::BoxButtons::Ok         ? "[OK] "
                             : buttons == core::BoxButtons::OkCancel ? "OK/Cancel? "
                                                                     : "Yes/No? ";
        freshLine(out_) << prompt;
        if (buttons == core::BoxButtons::Ok) {
            answer = core::BoxAnswer::Ok;
            bool ok = false;
            if (!context_.options.yes) readLine(&ok);
            if (!ok) freshLine(out_) << "OK\n";
            out_.flush();
            return;
        }
        if (context_.options.yes) {
            if (onlyOpensWebPage(text)) {
                answer = core::BoxAnswer::No;
            } else {
                answer = buttons == core::BoxButtons::OkCancel ? core::BoxAnswer::Ok
                                                               : core::BoxAnswer::Yes;
            }
            freshLine(out_) << answerName(answer) << " (--yes)\n";
            out_.flush();
            return;
        }
        for (;;) {
            out_.flush();
            bool ok = false;
            const std::string reply = lowered(readLine(&ok));
            if (!ok) {
                freshLine(out_) << "(no answer) " << answerName(answer) << "\n";
                break;
            }
            if (buttons == core::BoxButtons::YesNo && (reply == "y" || reply == "yes")) {
                answer = core::BoxAnswer::Yes;
                break;
            }
            if (buttons == core::BoxButtons::YesNo && (reply == "n" || reply == "no")) {
                answer = core::BoxAnswer::No;
                break;
            }
            if (buttons == core::BoxButtons::OkCancel && (reply == "o" || reply == "ok")) {
                answer = core::BoxAnswer::Ok;
                break;
            }
            if (buttons == core::BoxButtons::OkCancel && (reply == "c" || reply == "cancel")) {
                answer = core::BoxAnswer::Cancel;
                break;
            }
            freshLine(out_) << prompt;
        }
        out_.flush();
    });
    if (!asked) {
        std::cerr << "quorta-updater: " << caption << ": " << terminalText(text) << "\n";
    }
    return answer;
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

void CliWindow::appendLog(const std::string& text) {
    onLoop([&] {
        const std::string lines = terminalText(text);
        if (logShown_) {
            freshLine(err_) << lines;
            err_.flush();
        }
        logHistory_ += lines;
        if (logHistory_.size() > kLogHistoryLimit) {
            logHistory_.erase(0, logHistory_.size() - kLogHistoryLimit / 2);
        }
    });
}

void CliWindow::startMarquee() {
    onLoop([&] {
        barPercent_ = -1;
        clearBar();
        out_.flush();
    });
}

void CliWindow::setProgress(int percent) {
    onLoop([&] {
        if (!drawsBar_) return;
        barPercent_ = std::clamp(percent, 0, 100);
        drawBar();
    });
}

// --- The bar on a terminal ------------------------------------------------------------

std::ostream& CliWindow::freshLine(std::ostream& stream) {
    clearBar();
    return stream;
}

void CliWindow::clearBar() {
    if (!barOnLine_) return;
    out_ << "\r\033[K";
    out_.flush();
    barOnLine_ = false;
}

void CliWindow::drawBar() {
    if (!drawsBar_ || barPercent_ < 0 || destroyed_) return;
    constexpr int kWidth = 40;
    const int filled = barPercent_ * kWidth / 100;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", barPercent_);
    out_ << "\r[" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), '-') << "] " << percent;
    out_.flush();
    barOnLine_ = true;
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

void CliWindow::createRecoveryDialog() {
    if (dialog_) return;
    dialog_ = std::make_unique<Dialog>(*this);
    dialog_->procedure.onInit();
    render();
    // Asked from the loop, like a modeless dialog waiting for clicks.
    caller_.post([this] { askRecoveryDialog(); });
}

void CliWindow::destroyRecoveryDialog() {
    // Perhaps from inside the dialog's own procedure: freed once it returned.
    if (dialog_) closedDialogs_.push_back(std::move(dialog_));
}

bool CliWindow::recoveryDialogExists() const {
    return dialog_ != nullptr;
}

void CliWindow::raiseRecoveryDialog() {}

void CliWindow::endProcess(int) {
    destroyed_ = true;
    timers_.clear();
    if (dialog_) destroyRecoveryDialog();
    quit_ = true;
}

void CliWindow::clickDialog(int id, bool toggles) {
    if (!dialog_) return;
    if (toggles) dialog_->setChecked(id, !dialog_->isChecked(id));
    dialog_->procedure.onCommand(id);
}

void CliWindow::askRecoveryDialog() {
    std::vector<const core::DialogControl*> models;
    for (const core::DialogControl& c : core::kRecoveryDialogControls) {
        if (c.id >= core::kRecoveryFirstModel && c.id <= core::kRecoveryLastModel) {
            models.push_back(&c);
        }
    }
    while (dialog_) {
        render();
        freshLine(out_) << "\n[" << core::kRecoveryDialogTitle << "]\n"
                        << core::kRecoveryDialogControls[2].text << "\n";
        for (size_t i = 0; i < models.size(); ++i) {
            freshLine(out_) << "  " << (i + 1 < 10 ? " " : "") << i + 1 << ") " << models[i]->text
                            << "\n";
        }
        freshLine(out_) << "Model number (nothing to cancel)? ";
        bool ok = false;
        std::string reply = context_.options.yes ? std::string() : lowered(readLine(&ok));
        if (context_.options.yes) freshLine(out_) << "(--yes cannot choose a model) ";
        char* end = nullptr;
        const long n = reply.empty() ? 0 : std::strtol(reply.c_str(), &end, 10);
        if (!ok || reply.empty() || *end != '\0' || n < 1 || n > static_cast<long>(models.size())) {
            if (ok && !reply.empty()) {
                freshLine(out_) << "There is no model " << reply << ".\n";
                continue;
            }
            freshLine(out_) << "Cancel\n";
            out_.flush();
            clickDialog(core::kRecoveryCancel, false);
            return;
        }
        const int id = models[static_cast<size_t>(n - 1)]->id;
        if (!dialog_->isChecked(id)) clickDialog(id, true);
        freshLine(out_) << "Japanese or English (j/e)? ";
        const std::string language = lowered(readLine(&ok));
        if (!dialog_) return;
        const bool japanese = ok && (language == "j" || language == "japanese");
        if (!ok) freshLine(out_) << (japanese ? "Japanese\n" : "English\n");
        if (japanese != dialog_->isChecked(core::kRecoveryJapanese)) {
            clickDialog(japanese ? core::kRecoveryJapanese : core::kRecoveryEnglish, true);
        }
        freshLine(out_) << "OK\n";
        out_.flush();
        clickDialog(core::kRecoveryOk, false);
    }
}

// --- --scan-once -----------------------------------------------------------------

int runScanOnce(const core::FrontEndContext& context, std::ostream& out) {
    if (context.lock && !context.lock->acquire(context.lockName)) {
        out << core::kAlreadyRunningText << "\n";
        return core::kExitOk;
    }
    core::installReportCallbacks();
    core::reportCallbacks().logLine = [&out](const std::string& line) {
        out << terminalText(line);
    };
    // Only looking: no window, and nothing programmed.
    core::Services& s = core::services();
    s.window = nullptr;
    s.startOnBootloaderModeThread = nullptr;

    core::deviceScan();

    std::vector<std::string> ids;
    if (s.usbDevices) ids = s.usbDevices->hardwareIds();
    auto seen = [&](auto&& match) { return std::any_of(ids.begin(), ids.end(), match); };
    out << "\n";
    if (core::state().ishf) {
        const core::DeviceRecord record = core::deviceRecord().snapshot();
        for (const std::string& line : linesOf(record.connectedText)) out << line << "\n";
        if (!record.updateLabel.empty()) {
            out << "Offer: " << record.updateLabel << "\n";
        } else if (!record.statusMessage.empty()) {
            out << record.statusMessage << "\n";
        }
    } else if (core::state().statusTitle() == core::kTwoGpsTitle) {
        for (const std::string& line : linesOf(core::kTwoGpsTitle)) out << line << "\n";
        out << core::kTwoGpsDetail << "\n";
    } else if (seen([](const std::string& id) {
                   return id.find("VID_15A2") != std::string::npos;
               })) {
        out << "A Quorta GPS is in its ROM bootloader: start the updater to recover it.\n";
    } else if (seen([](const std::string& id) {
                   const auto pid = core::productIdFromHardwareId(id);
                   return id.find("VID_2B29") != std::string::npos && pid &&
                          core::isFlashBootloaderProductId(*pid);
               })) {
        out << "A Quorta GPS is in its flash bootloader: start the updater to finish "
               "programming it.\n";
    } else if (seen([](const std::string& id) {
                   return id.find("VID_2B29") != std::string::npos;
               })) {
        out << "A Quorta GPS is connected but could not be read.\n";
    } else {
        out << "No Quorta GPS device was found.\n";
    }
    out.flush();
    core::clearReportCallbacks();
    if (context.lock) context.lock->release();
    return core::kExitOk;
}

}  // namespace ui_cli
