#include "core/UpdateOrchestration.h"

#include "core/Backup.h"
#include "core/Context.h"
#include "core/DeviceScan.h"
#include "core/LanguagePacks.h"
#include "core/Maintenance.h"
#include "core/Nordic.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdateEndNotice.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/Window.h"

namespace core {

namespace {

// The window's status text buffer holds at most this many bytes with its NUL.
constexpr size_t kStatusTextBufferSize = 512;

void showControl(Control control, bool show) {
    if (Window* window = services().window) window->showControl(control, show);
}

// Invalidate the whole window without erasing and paint it at once.
void invalidateAndUpdate() {
    if (Window* window = services().window) {
        window->invalidate(false);
        window->update();
    }
}

// Lines that go only to the system's debug channel.
void debugOnly(const char* text) {
    if (platform::DebugOutput* out = services().debugOutput) out->write(text);
}

// Lines that go to the log and once more to the debug channel.
void logAndDebug(const char* text) {
    logLine(text);
    debugOnly(text);
}

SharedDeviceRecord& connectedRecord() {
    SharedDeviceRecord* current = reportCallbacks().currentDevice.load();
    return current ? *current : deviceRecord();
}

// The radio version question, up to three attempts.
bool checkNordicVersionThrice() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (checkNordicVersion()) return true;
    }
    return false;
}

// Step 3 of device-nodes-changed and removal: rescan.
void rescan() {
    UpdaterState& st = state();
    st.scanInProgress = false;
    st.deviceRadioBuild = 0;
    deviceScan();
    refreshControls();
    if (st.factoryResetPending || st.languagePackBusy) showControl(Control::UpdateButton, false);
}

// "Latest software is installed on device", with what the rider must still
// read: the saved files that went back, and files kept only on this computer.
std::string latestSoftwareDetail() {
    std::string detail = kLatestSoftwareText;
    if (state().heldBackupPutBack) detail += std::string("\n") + kHeldBackupRestoredText;
    const std::string kept = heldFilesNotice();
    if (!kept.empty()) detail += "\n" + kept;
    return detail;
}

// The GPS reports the firmware version this updater carries for it.
bool runsCarriedFirmware(const DeviceRecord& record) {
    return state().ishf && record.targetMajor == record.versionMajor &&
           record.targetMinor == record.versionMinor;
}

// The device came back from the bootloader without the carried firmware
// (the cable was pulled before the jump, the erase was refused): no reset,
// nothing put back (the files never left the GPS), and the error stays.
void notCarriedFirmwareBack() {
    UpdaterState& st = state();
    const DeviceRecord record = connectedRecord().snapshot();
    logLinef("\r\n Start Auto Update - NOT ON THE NEW FIRMWARE (%d.%d): no factory reset\r\n",
             record.versionMajor, record.versionMinor);
    st.updateInProgress = false;
    st.reverseUpgrade = false;
    if (letGoOfBackupStillOnGps()) st.resetBeforeNordic = false;
    const std::string title = formatText(
        "There was a problem updating your %.40s. Please try again or contact Quorta "
        "technical support.",
        record.modelName.empty() ? "GPS" : record.modelName.c_str());
    std::string detail = "The GPS still has its earlier firmware; its files were not changed.";
    const std::string kept = heldFilesNotice();
    if (!kept.empty()) detail += "\n" + kept;
    sendStatus(1, title.c_str(), detail.c_str());
    showControl(Control::ProgressBar, false);
    Window* window = services().window;
    if (window && !record.updateLabel.empty()) window->setButtonText(record.updateLabel);
    showControl(Control::UpdateButton, true);
    updateEnded();
}

}  // namespace

// --- Events ---------------------------------------------------------------------------

void onDevNodesChanged() {
    const UpdaterState& st = state();
    logLine("\r\nDBT_DEVNODES_CHANGED\r\n");
    // A known, idle device is not rescanned.
    if (!st.factoryResetPending && !st.languagePackBusy && !st.updateInProgress &&
        st.deviceRadioBuild != 0) {
        return;
    }
    rescan();
}

void onDeviceRemoveComplete() {
    logLine("\r\n DBT_DEVICEREMOVECOMPLETE\r\n");
    // A drive that went away while a held backup was put back may be back
    // at the next arrival: it may be offered again then.
    state().heldBackupFailed = false;
    state().heldBackupPutBack = false;
    rescan();
}

void onDeviceArrival() {
    UpdaterState& st = state();
    logLine("\r\nDBT_DEVICEARRIVAL\r\n");
    st.scanInProgress = false;
    if (st.jbl) {
        // The device is back from the bootloader-mode thread's programming.
        logLine("- DBT_DEVICEARRIVAL - in boot loader mode\r\n");
        st.updateInProgress = true;
    }
    st.jbl = false;
    deviceScan();
    refreshControls();

    if (st.factoryResetPending) {
        // Back from a factory reset asked for from the menu.
        showControl(Control::ProgressBar, false);
        showControl(Control::UpdateButton, false);
        st.factoryResetPending = false;
        st.languagePackBusy = false;
        if (connectedRecord().snapshot().dlv == kJapaneseVariant) {
            languagePackCommand();
            showControl(Control::UpdateButton, true);
            logLine(" updateButton SW_SHOW D \r\n");
        } else {
            if (Window* window = services().window)
                window->enableMenuItem(kMenuLanguagePacks, false);
            showControl(Control::UpdateButton, true);
            logLine(" updateButton SW_SHOW 1 \r\n");
            if (Window* window = services().window) {
                window->sendMessage(WindowMessage::OnDeviceInfoRead);
            }
        }
        return;
    }

    if (st.updateInProgress) {
        if (st.reverseUpgrade) {
            showControl(Control::UpdateButton, false);
            showControl(Control::ProgressBar, true);
            logAndDebug("\r\n Start Auto Update\r\n");
            setUpdatePhase(UpdatePhase::Continuing);
            if (st.resetBeforeNordic && !runsCarriedFirmware(connectedRecord().snapshot())) {
                // The factory reset empties the drive's Quorta folder: it is
                // only sent to a GPS that came back with the new firmware.
                // Otherwise the files are still on the GPS, the backup stays
                // kept, and the update ends here.
                notCarriedFirmwareBack();
                return;
            }
            if (st.resetBeforeNordic) {
                logAndDebug("\r\n Start Auto Update - RESET BEFORE NORDIC\r\n");
                setUpdatePhase(UpdatePhase::FactoryReset);
                sendStatus(0, nullptr, "Resetting GPS Disk...");
                invalidateAndUpdate();
                if (factoryReset()) {
                    // The device restarts and arrives again; that arrival
                    // takes the radio branch.
                    st.resetBeforeNordic = false;
                } else {
                    logLine("\r\n Start Auto Update - RESET BEFORE NORDIC - FAILED\r\n");
                }
            } else {
                st.updateInProgress = false;
                logAndDebug("\r\n Start Auto Update - NORDIC\r\n");
                startUpdateNordic();
            }
        }
        if (!st.reverseUpgrade) showControl(Control::ProgressBar, false);
        return;
    }

    showControl(Control::UpdateButton, true);
}

void onDeviceInfoRead() {
    UpdaterState& st = state();
    debugOnly("\r\nWM_ON_DEVICE_INFO_READ\r\n");

    if (st.factoryResetPending && !st.languagePackBusy &&
        connectedRecord().snapshot().dlv != kJapaneseVariant) {
        showControl(Control::ProgressBar, false);
        showControl(Control::UpdateButton, false);
    }

    if (st.reverseUpgrade) {
        debugOnly("\r\nWM_ON_DEVICE_INFO_READ - continue reverse update\r\n");
        if (st.ishf) onGpsDeviceInfoRead();
    } else if (checkNordicVersionThrice() && st.ishf) {
        debugOnly("\r\nWM_ON_DEVICE_INFO_READ - onGpsDeviceInfoRead\r\n");
        onGpsDeviceInfoRead();
    }

    st.scanInProgress = false;

    SharedDeviceRecord& shared = connectedRecord();
    if (isFullyUpdated(shared.snapshot())) {
        showControl(Control::UpdateButton, false);
        showControl(Control::ProgressBar, false);

        bool restoreFailed = false;
        if (st.backupDone) {
            sendStatus(0, nullptr, kRestoringDataText);
            showControl(Control::UpdateButton, false);
            showControl(Control::ProgressBar, true);
            invalidateAndUpdate();
            // A restore that could not be verified keeps its backup and says
            // where it is; that message must stay in view.
            restoreFailed = !saveLocalDataToGps() && st.backupDone;
        }

        const DeviceRecord record = shared.snapshot();
        const std::string title = composeConnectedTitle(record, st.deviceRadioBuild);
        logLine("WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n");
        setUpdatePhase(restoreFailed ? UpdatePhase::Failed : UpdatePhase::Done);

        shared.modify([](DeviceRecord& r) {
            r.statusMessage = kLatestSoftwareText;
            r.updateLabel.clear();
        });
        st.updateInProgress = false;
        if (!restoreFailed) {
            st.setStatusDetail(latestSoftwareDetail());
            st.setStatusTitle(title);
        }

        showControl(Control::UpdateButton, true);
        showControl(Control::ProgressBar, false);
        if (Window* window = services().window) {
            window->invalidate(false);
            window->update();
            window->repaintNow();
        }
        updateEnded();
    }

    refreshControls();
    // With the GPS in view: a backup an earlier run never put back.
    offerHeldBackup();
}

void onGpsDeviceInfoRead() {
    UpdaterState& st = state();
    logLinef("\n -- onGpsDeviceInfoRead [%li][%i][%i] \n",
             static_cast<long>(st.deviceRadioBuild.load()), st.reverseUpgrade ? 1 : 0,
             st.updateInProgress ? 1 : 0);
    deviceShownPhase();

    SharedDeviceRecord& shared = connectedRecord();
    if (st.deviceRadioBuild > 0 && st.reverseUpgrade && !st.updateInProgress) {
        logLine("\n -- onGpsDeviceInfoRead REVERSE UPGRADE TEST-- \n");
        if (st.sameFirmwareVersion) {
            // The main firmware is already the carried one: on to the radio.
            logLine("\n -- onGpsDeviceInfoRead REVERSE UPGRADE CONTINUE-- \n");
            st.gcbn = shared.snapshot().dlv == kJapaneseVariant ? kJapaneseVariant : 0;
            logLine("\n -- onGpsDeviceInfoRead startUpdateNordic - \n");
            startUpdateNordic();
            return;
        }
    }

    if (!st.ADF) {
        logLine("updateButton SW_SHOW B normal display mod\n");
        showControl(Control::UpdateButton, true);
    } else {
        logLine("updateButton SW_SHOW B SUPPRESS normal display mod\n");
        showControl(Control::UpdateButton, false);
    }
    showControl(Control::ProgressBar, false);
    const DeviceRecord record = shared.snapshot();
    sendStatus(0, record.connectedText.c_str(), nullptr);

    Window* window = services().window;
    if (!record.updateLabel.empty()) {
        if (window) window->setButtonText(record.updateLabel);
    } else if (!record.statusMessage.empty()) {
        st.setStatusDetail(record.statusMessage == kLatestSoftwareText ? latestSoftwareDetail()
                                                                       : record.statusMessage);
        if (window) {
            window->setButtonText("OK");
            window->invalidate(true);
        }
    }
}

// --- Pieces -----------------------------------------------------------------------------

bool isFullyUpdated(const DeviceRecord& record) {
    const UpdaterState& st = state();
    return record.targetMajor == record.versionMajor && record.targetMinor == record.versionMinor &&
           st.deviceRadioBuild == st.updaterRadioBuild && !st.updateThreadActive;
}

std::string composeConnectedTitle(const DeviceRecord& record, int32_t radioBuild) {
    const char* name = record.modelName.c_str();
    const long build = static_cast<long>(radioBuild);
    std::string title;
    if (record.dlv == kJapaneseVariant) {
        title = radioBuild > 0 ? formatText("%.40s connected\nVer: %d.%d-%li\nJapanese", name,
                                            record.versionMajor, record.versionMinor, build)
                               : formatText("%.40s connected\nVer: %d.%d\nJapanese", name,
                                            record.versionMajor, record.versionMinor);
    } else {
        title = radioBuild > 0 ? formatText("%.40s connected\nVer: %d.%2.2d-%li\n", name,
                                            record.versionMajor, record.versionMinor, build)
                               : formatText("%.40s connected\nVer: %d.%2.2d\n", name,
                                            record.versionMajor, record.versionMinor);
    }
    if (title.size() >= kStatusTextBufferSize) title.resize(kStatusTextBufferSize - 1);
    return title;
}

}  // namespace core
