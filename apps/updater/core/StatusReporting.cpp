#include "core/StatusReporting.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "core/Context.h"
#include "core/DevicePermission.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "core/Window.h"

namespace core {

namespace {

// At most `limit` bytes, never cutting a UTF-8 sequence in two.
std::string cutText(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// The step living on this thread, if any.
thread_local ProgressStep* tStep = nullptr;

// A bootloader data or command packet: 32 bytes of payload at most.
constexpr uint64_t kReportPayload = 32;

// Waits this long or longer are shown on the bar while it is up.
constexpr int kMeasuredWaitSeconds = 2;
// A measured wait sleeps in slices of at least this much of its clock.
constexpr int64_t kWaitSliceMs = 250;

bool progressBarUp() {
    const UpdaterState& st = state();
    return st.updateInProgress || st.factoryResetPending || st.languagePackBusy;
}

bool connectedDeviceIsJapanese() {
    SharedDeviceRecord* record = reportCallbacks().currentDevice.load();
    return record && record->snapshot().dlv == kJapaneseVariant;
}

}  // namespace

void installReportCallbacks() {
    ReportCallbacks& cb = reportCallbacks();
    cb.reportStatus = reportStatus;
    state().setStatusTitle(kConnectTitle);
    cb.logLine = windowLogLine;
    cb.waitSeconds = sleepSeconds;
}

void reportStatus(int isComplete, const char* title, const char* detail) {
    UpdaterState& st = state();
    Window* window = services().window;
    st.setStatus(title, detail);
    if (st.factoryResetPending || st.languagePackBusy) {
        if (window) {
            window->showControl(Control::UpdateButton, false);
            window->showControl(Control::ProgressBar, true);
        }
    } else if (isComplete != 0) {
        logLine("\n-- isComplete --\n");
        if (!st.reverseUpgrade) {
            if (window) window->showControl(Control::UpdateButton, true);
            logLinef(" updateButton SW_SHOW A ADF:%i \r\n", st.ADF ? 1 : 0);
        }
        if (window) {
            window->showControl(Control::ProgressBar, false);
            window->setButtonText("OK");
        }
    }
    if (window) {
        window->invalidate(true);
        window->update();
    }
}

void windowLogLine(const std::string& text) {
    std::string line = cutText(text, kLogLineLimit);
    const Services& s = services();
    if (s.debugOutput) s.debugOutput->write(line);
    for (platform::DebugOutput* file : {s.logFile, static_cast<platform::DebugOutput*>(s.runLog)}) {
        if (file) file->write(line);
    }
    if (s.window) s.window->appendLog(line);
}

void startRunLog() {
    platform::RunLog* runLog = services().runLog;
    if (!runLog) return;
    std::string problem;
    if (!runLog->start(problem)) logLine(problem + "\r\n");
}

void sleepSeconds(int seconds) {
    if (seconds <= 0) return;
    const int64_t total = static_cast<int64_t>(seconds) * 1000;
    // A wait inside a step weighed in time is part of it; a long one outside
    // any, while the bar is up, is a step of its own.
    ProgressStep* step = tStep;
    if (step && (step->kind() == ProgressKind::Write || step->kind() == ProgressKind::Radio)) {
        clock().sleepMs(total);
        return;
    }
    std::optional<ProgressStep> own;
    if (!step && seconds >= kMeasuredWaitSeconds && services().window && progressBarUp()) {
        step = &own.emplace(ProgressKind::Wait, static_cast<uint64_t>(total));
    }
    if (!step || !step->ownsBar()) {
        clock().sleepMs(total);
        return;
    }
    // The same sum of sleeps, in slices, with the bar moving between them.
    const int64_t slice = std::max(kWaitSliceMs, total / 100);
    for (int64_t slept = 0; slept < total;) {
        const int64_t part = std::min(slice, total - slept);
        clock().sleepMs(part);
        slept += part;
        step->add(static_cast<uint64_t>(part));
    }
}

ProgressStep::ProgressStep(ProgressKind kind, uint64_t weight)
    : kind_(kind), weight_(weight), outer_(tStep) {
    tStep = this;
    if (!services().window) return;
    owner_ = !context().progressBarTaken.exchange(true);
    show();
}

ProgressStep::~ProgressStep() {
    tStep = outer_;
    if (!owner_) return;
    if (Window* window = services().window) window->startMarquee();
    context().progressBarTaken = false;
}

ProgressStep* ProgressStep::current() {
    return tStep;
}

void ProgressStep::addToCurrent(ProgressKind kind, uint64_t weight) {
    if (tStep && tStep->kind_ == kind) tStep->add(weight);
}

void ProgressStep::add(uint64_t weight) {
    reach(done_ + std::min(weight, weight_));
}

void ProgressStep::reach(uint64_t done) {
    done_ = std::min(std::max(done_, done), weight_);
    show();
    if (kind_ != ProgressKind::Write || weight_ == 0) return;
    static constexpr const char* kQuarters[][2] = {
        {"Step 3 of 3\n25% done", "Flashing\n25% done"},
        {"Step 3 of 3\n50% done", "Flashing\n50% done"},
        {"Step 3 of 3\n75% done", "Flashing\n75% done"},
    };
    // A quarter of an odd count is its whole part, as the device counts it.
    while (quartersSaid_ < 3 && done_ >= weight_ * static_cast<uint64_t>(quartersSaid_ + 1) / 4) {
        sendStatus(0, nullptr, kQuarters[quartersSaid_][state().reverseUpgrade ? 1 : 0]);
        ++quartersSaid_;
    }
}

void ProgressStep::packetSent(bool data) {
    if (kind_ == ProgressKind::Write && data) add(1);
}

void ProgressStep::show() {
    if (!owner_) return;
    const int percent = weight_ == 0 ? 0 : static_cast<int>(done_ * 100 / weight_);
    if (percent <= shown_) return;
    shown_ = percent;
    if (Window* window = services().window) window->setProgress(percent);
}

uint64_t writeDataReports(uint64_t imageLength) {
    return (imageLength + kReportPayload - 1) / kReportPayload;
}

void refreshControls(Window& window) {
    UpdaterState& st = state();
    if (st.factoryResetPending || st.languagePackBusy || st.updateInProgress) {
        window.showControl(Control::ProgressBar, true);
        window.showControl(Control::UpdateButton, false);
        return;
    }
    if (st.ishf) {
        window.enableMenuItem(kMenuFactoryReset, true);
        window.enableMenuItem(kMenuForceUpdate, true);
        window.enableMenuItem(kMenuEraseKeys, true);
        window.enableMenuItem(kMenuLanguagePacks, connectedDeviceIsJapanese());
        window.enableMenuItem(kMenuLoadJapan, false);
        window.enableMenuItem(kMenuLoadStandard, false);
        return;
    }
    window.showControl(Control::ProgressBar, false);
    window.showControl(Control::UpdateButton, false);
    st.updateThreadActive = false;
    st.updateInProgress = false;
    st.factoryResetPending = false;
    st.languagePackBusy = false;
    st.setStatus(kConnectTitle, permissionProblemPending() ? kPermissionDeniedDetail : " ");
    for (int id : {kMenuFactoryReset, kMenuLanguagePacks, kMenuLoadStandard, kMenuLoadJapan,
                   kMenuForceUpdate, kMenuEraseKeys}) {
        window.enableMenuItem(id, false);
    }
    window.invalidate(true);
    window.update();
}

void refreshControls() {
    if (Window* window = services().window) refreshControls(*window);
}

}  // namespace core
