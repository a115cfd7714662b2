#include "core/StatusReporting.h"

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
    if (const auto& watcher = services().textWatcher) {
        if (title) watcher(title);
        if (detail) watcher(detail);
    }
}

void windowLogLine(const std::string& text) {
    std::string line = cutText(text, kLogLineLimit);
    const Services& s = services();
    if (s.debugOutput) s.debugOutput->write(line);
    if (s.logFile) s.logFile->write(line);
    if (s.window) s.window->appendLog(line);
    if (s.textWatcher) s.textWatcher(text);
}

void sleepSeconds(int seconds) {
    if (seconds > 0) clock().sleepMs(static_cast<int64_t>(seconds) * 1000);
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

void progressLogSink(const char*) {
    uint32_t count = ++state().progressLogCount;
    if (!reportCallbacks().reportStatus) return;
    const bool forced = state().reverseUpgrade;
    const char* detail = nullptr;
    switch (count) {
        case 182000:
            detail = forced ? "Flashing\n25% done" : "Step 3 of 3\n25% done";
            break;
        case 364000:
            detail = forced ? "Flashing\n50% done" : "Step 3 of 3\n50% done";
            break;
        case 546000:
            detail = forced ? "Flashing\n75% done" : "Step 3 of 3\n75% done";
            break;
        default:
            return;
    }
    sendStatus(0, nullptr, detail);
}

}  // namespace core
