#include "core/WindowProcedure.h"

#include <cstdio>
#include <exception>
#include <string_view>

#include "core/Backup.h"
#include "core/Context.h"
#include "core/DeviceScan.h"
#include "core/FirmwareProgramming.h"
#include "core/LanguagePacks.h"
#include "core/Maintenance.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/TestImages.h"
#include "core/UpdateOrchestration.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/WorkerThreads.h"

namespace core {

const std::array<MenuEntry, 19> kMenuLayout = {{
    {kMenuAbout, "&About ..."},
    {kMenuSeparator, ""},
    {kMenuFactoryReset, "Restore device to factory defaults"},
    {kMenuShowLog, "Show log"},
    {kMenuSubmenuBegin, "Advanced"},
    {kMenuForceUpdate, "Force update"},
    {kMenuSeparator, ""},
    {kMenuEraseKeys, "Erase Encryption Key Storage"},
    {kMenuSeparator, ""},
    {kMenuLoadStandard, "LOAD STANDARD FIRMWARE NOW"},
    {kMenuSeparator, ""},
    {kMenuSeparator, ""},
    {kMenuLoadJapan, "LOAD JAPAN FIRMWARE NOW"},
    {kMenuSeparator, ""},
    {kMenuSeparator, ""},
    {kMenuLanguagePacks, "LOAD Language Packs"},
    {kMenuSubmenuEnd, ""},
    {kMenuSeparator, ""},
    {kMenuExit, "E&xit Quorta Gps Updater"},
}};

const char* menuItemText(int id) {
    if (id < 0) return "";
    for (const MenuEntry& entry : kMenuLayout) {
        if (entry.id == id) return entry.text;
    }
    return "";
}

const std::array<DialogControl, 18> kRecoveryDialogControls = {{
    {kRecoveryOk, DialogControlKind::DefaultButton, "OK", 24, 192, 50, 14},
    {kRecoveryCancel, DialogControlKind::Button, "Cancel", 100, 192, 50, 14},
    {0, DialogControlKind::Label, "Recovery Mode Carefully Choose Your Device", 7, 7, 163, 18},
    {1005, DialogControlKind::CheckBox, "Gen2 Heron", 7, 25, 50, 10},
    {1006, DialogControlKind::CheckBox, "Gen2 Enh Finch", 7, 40, 65, 10},
    {1007, DialogControlKind::CheckBox, "Gen2 FinchChroma", 7, 55, 65, 10},
    {1008, DialogControlKind::CheckBox, "Gen2 FinchBand", 7, 70, 65, 10},
    {1009, DialogControlKind::CheckBox, "Gen2 BandChroma", 7, 85, 65, 10},
    {1010, DialogControlKind::CheckBox, "Gen2 Robin", 7, 100, 43, 10},
    {1004, DialogControlKind::CheckBox, "Gen2 Enhanced Osprey", 80, 25, 83, 10},
    {1011, DialogControlKind::CheckBox, "Gen3 CondorXL", 80, 40, 52, 10},
    {1012, DialogControlKind::CheckBox, "Gen3 CondorC", 80, 55, 50, 10},
    {kRecoveryJapanese, DialogControlKind::CheckBox, "Japanese", 22, 151, 46, 10},
    {kRecoveryEnglish, DialogControlKind::CheckBox, "English", 77, 150, 39, 10},
    {1013, DialogControlKind::CheckBox, "Gen4 OspreyMax", 80, 69, 60, 10},
    {1014, DialogControlKind::CheckBox, "Gen4 Heron Ultra", 78, 85, 60, 10},
    {1015, DialogControlKind::CheckBox, "Gen4 Heron Lite", 77, 99, 68, 10},
    {1016, DialogControlKind::CheckBox, "Gen5 Heron Lite", 76, 113, 68, 10},
}};

namespace {

// A workflow this build does not have: said in the log and on standard
// error, never passed off as done.
void missingWorkflow(const char* name) {
    logLinef("\r\n%s: not available in this build\r\n", name);
    std::fprintf(stderr, "quorta-updater: %s is not available in this build\n", name);
}

template <class F, class... Args>
void runWorkflow(const F& fn, const char* name, Args&&... args) {
    if (fn) {
        fn(std::forward<Args>(args)...);
    } else {
        missingWorkflow(name);
    }
}

DeviceRecord connectedRecord() {
    SharedDeviceRecord* record = reportCallbacks().currentDevice.load();
    return record ? record->snapshot() : DeviceRecord{};
}

int variantOfConnectedDevice() {
    return connectedRecord().dlv == kJapaneseVariant ? kJapaneseVariant : 0;
}

constexpr const char* kRecoveryModeTitle = "Device Recovery Mode\n";

// The commands that write an image say no, in the words of the status.
bool refusedForTestImages(Window& window) {
    if (!testImagesOnly()) return false;
    logLine("Test images only: the command writes no image to a real GPS\r\n");
    state().setStatus(nullptr, kTestImagesNotice);
    state().failureShown = true;
    window.invalidate(true);
    window.messageBox(kTestImagesNotice, kTestImagesCaption, BoxButtons::Ok, BoxIcon::Warning);
    return true;
}

}  // namespace

Workflows& workflows() {
    return context().workflows;
}

Workflows programWorkflows() {
    Workflows w;
    w.onDevNodesChanged = core::onDevNodesChanged;
    w.onDeviceArrival = core::onDeviceArrival;
    w.onDeviceRemoveComplete = core::onDeviceRemoveComplete;
    w.onDeviceInfoRead = core::onDeviceInfoRead;
    w.startUpdateWorkerThread = core::startUpdateWorkerThread;
    w.factoryReset = core::factoryReset;
    w.eraseNordicKeys = [] {
        if (!core::eraseNordicKeys())
            logLine("\r\neraseNordicKeys: the GPS could not be opened\r\n");
    };
    w.languagePackCommand = core::languagePackCommand;
    w.onEmergencyProgramFlashMode = [](SharedDeviceRecord& record, int type, int variant) {
        core::onEmergencyProgramFlashMode(record, type, variant);
    };
    return w;
}

std::string aboutText() {
    const auto& t = firmwareVersionTable;
    auto v = [&](int type) { return t[static_cast<size_t>(type)]; };
    // The versions are those of the test images, when it carries them.
    const std::string note = buildHasTestImages() ? kTestImagesBuildNote : "";
    return note + formatText(
                      "Quorta Gps Firmware Programmer\n\nFirmware versions:\n Osprey GPS \t%d.%d\n "
                      "Heron GPS "
                      "\t%d.%d\n Finch Chroma \t%d.%d\n Band Chroma \t%d.%d\n Finch Band \t%d.%d\n "
                      "Robin GPS  "
                      "\t%d.%d\n Finch GPS \t%d.%d\n  Condor GPS \t%d.%d\n  Condor Chroma "
                      "\t%d.%d\n  Osprey Max "
                      "\t%d.%d\n  Heron Ultra \t%d.%d\n  Heron Lite \t%d.%d\n\r\n",
                      v(4).major, v(4).minor, v(5).major, v(5).minor, v(7).major, v(7).minor,
                      v(9).major, v(9).minor, v(8).major, v(8).minor, v(10).major, v(10).minor,
                      v(6).major, v(6).minor, v(11).major, v(11).minor, v(12).major, v(12).minor,
                      v(13).major, v(13).minor, v(14).major, v(14).minor, v(15).major, v(15).minor);
}

bool unplugWarningShown() {
    const UpdaterState& st = state();
    return st.updateInProgress || st.factoryResetPending || st.languagePackBusy ||
           st.recoveryDialogOpen || st.backupDone || st.resetBeforeNordic;
}

// --- Main window ------------------------------------------------------------

WindowProcedure::WindowProcedure(Window& window, WindowHost& host, platform::InstanceLock* lock)
    : window_(window), host_(host), lock_(lock) {}

void WindowProcedure::onCreate() {
    // Erase Encryption Key Storage stays enabled until the first refresh.
    for (int id : {kMenuFactoryReset, kMenuLanguagePacks, kMenuLoadStandard, kMenuLoadJapan,
                   kMenuForceUpdate}) {
        window_.enableMenuItem(id, false);
    }
    host_.startTimer(kBackupReminderTimer, kBackupReminderPeriodMs);
}

void WindowProcedure::afterShow() {
    // The start-up runs the same path as a real device change.
    onDeviceChange(platform::DeviceEvent::DevNodesChanged);
    deviceScan();
}

void WindowProcedure::onDestroy() {
    if (lock_) lock_->release();
    window_.quit(0);
}

void WindowProcedure::onFocus() {
    // The modeless dialog stays in front of the main window.
    if (state().recoveryDialogOpen && host_.recoveryDialogExists()) host_.raiseRecoveryDialog();
}

void WindowProcedure::onDeviceChange(platform::DeviceEvent event) {
    Workflows& w = workflows();
    switch (event) {
        case platform::DeviceEvent::DevNodesChanged:
            runWorkflow(w.onDevNodesChanged, "onDevNodesChanged");
            return;
        case platform::DeviceEvent::VolumeArrival:
            runWorkflow(w.onDeviceArrival, "onDeviceArrival");
            return;
        case platform::DeviceEvent::VolumeRemoveComplete:
            runWorkflow(w.onDeviceRemoveComplete, "onDeviceRemoveComplete");
            return;
    }
    onUnhandledDeviceChange();
}

void WindowProcedure::onUnhandledDeviceChange() {
    logLine("\n-- WM_DEVICECHANGE default Unhandled Event --\n");
}

void WindowProcedure::onTimer(int id) {
    if (id == kRecoveryStartTimer) {
        if (runningWorkerThreads() > 0) return;
        host_.killTimer(kRecoveryStartTimer);
        runRecoveryFlash();
        return;
    }
    if (id != kBackupReminderTimer) return;
    UpdaterState& st = state();
    // The held backup's question is open: the reminder follows it (the
    // timer fires again).
    if (st.startUpQuestionOpen) return;
    host_.killTimer(kBackupReminderTimer);
    st.startUpQuestionOpen = true;
    const BoxAnswer answer = window_.messageBox(kBackupReminderText, kBackupReminderCaption,
                                                BoxButtons::YesNo, BoxIcon::Warning);
    st.startUpQuestionOpen = false;
    if (answer == BoxAnswer::Yes) window_.openUrl(kBackupGuideUrl);
    // A held backup that waited for the reminder is asked about now.
    offerHeldBackup();
}

bool WindowProcedure::onCommand(int id) {
    switch (id) {
        case kActionButtonCommand:
            actionButton();
            return true;
        case kMenuAbout:
            window_.messageBox(aboutText(), "About", BoxButtons::Ok, BoxIcon::None);
            return true;
        case kMenuExit:
            window_.destroy();
            return true;
        case kMenuFactoryReset:
            factoryResetCommand();
            return true;
        case kMenuShowLog:
            showLogCommand();
            return true;
        case kMenuForceUpdate:
            forcedUpdate();
            return true;
        case kMenuEraseKeys:
            eraseKeysCommand();
            return true;
        case kMenuLanguagePacks:
            if (refusedForTestImages(window_)) return true;
            runWorkflow(workflows().languagePackCommand, "languagePackCommand");
            return true;
        case kMenuLoadJapan:
            forceVariant(kJapaneseVariant, " Toggle Japnan -=FORCE REVERSE UPGRADE=- ");
            return true;
        case kMenuLoadStandard:
            forceVariant(-99, " Toggle Standard -=FORCE REVERSE UPGRADE=- ");
            return true;
        default:
            return false;
    }
}

void WindowProcedure::onMessage(WindowMessage message, int) {
    switch (message) {
        case WindowMessage::CreateRecoveryModeDlg:
            createRecoveryDialog();
            return;
        case WindowMessage::CloseRecoveryModeDlg:
            closeRecoveryDialog();
            return;
        case WindowMessage::StartRecoveryFlash:
            // The type comes from the dialog's choice in the shared state.
            startRecoveryFlash();
            return;
        case WindowMessage::OnDeviceInfoRead:
            runWorkflow(workflows().onDeviceInfoRead, "onDeviceInfoRead");
            return;
    }
}

void WindowProcedure::actionButton() {
    UpdaterState& st = state();
    if (st.keysErased) {
        // After the bonding keys were erased the program can only be ended.
        host_.endProcess(0);
        return;
    }
    const DeviceRecord record = connectedRecord();
    const std::string& label = record.updateLabel;
    if (label.size() >= 6 && std::string_view(label).starts_with("Update")) {
        if (refusedForTestImages(window_)) return;
        if (window_.messageBox(record.promptText, "", BoxButtons::OkCancel, BoxIcon::Question) ==
            BoxAnswer::Ok) {
            st.gcbn = record.dlv == kJapaneseVariant ? kJapaneseVariant : 0;
            st.reverseUpgrade = true;
            logLine(" Regular -=FORCE REVERSE UPGRADE=- ");
            runWorkflow(workflows().startUpdateWorkerThread, "startUpdateWorkerThread");
        }
        return;
    }
    window_.quit(0);
}

void WindowProcedure::forcedUpdate() {
    if (refusedForTestImages(window_)) return;
    UpdaterState& st = state();
    st.gcbn = variantOfConnectedDevice();
    st.reverseUpgrade = true;
    logLine(" Force -=FORCE REVERSE UPGRADE=- ");
    runWorkflow(workflows().startUpdateWorkerThread, "startUpdateWorkerThread");
}

void WindowProcedure::forceVariant(int gcbn, const char* logText) {
    if (refusedForTestImages(window_)) return;
    UpdaterState& st = state();
    st.gcbn = gcbn;
    st.reverseUpgrade = true;
    logLine(logText);
    runWorkflow(workflows().startUpdateWorkerThread, "startUpdateWorkerThread");
}

void WindowProcedure::factoryResetCommand() {
    UpdaterState& st = state();
    if (window_.messageBox("Do you want to restore factory defaults?", "FACTORY RESET",
                           BoxButtons::YesNo, BoxIcon::None) != BoxAnswer::Yes) {
        return;
    }
    window_.messageBox("Sending Factory Reset. This will take a while so do not unplug device",
                       "Factory Reset", BoxButtons::Ok, BoxIcon::None);
    window_.enableMenuItem(kMenuFactoryReset, false);
    window_.showControl(Control::UpdateButton, false);
    st.factoryResetPending = true;
    window_.showControl(Control::ProgressBar, true);

    const auto& reset = workflows().factoryReset;
    bool sent = false;
    if (reset) {
        sent = reset();
    } else {
        missingWorkflow("factoryReset");
    }
    // Sent: the device restarts, and its arrival finishes the command.
    if (sent) return;

    window_.showControl(Control::ProgressBar, false);
    st.updateInProgress = false;
    st.factoryResetPending = false;
    st.languagePackBusy = false;
    st.failureShown = true;
    window_.messageBox(
        "Please make sure device is plugged in. Unplug and reconnect if already plugged.",
        "Factory Reset Failed", BoxButtons::Ok, BoxIcon::None);
    window_.update();
}

void WindowProcedure::showLogCommand() {
    UpdaterState& st = state();
    const bool show = st.logHidden;
    st.logHidden = !show;
    window_.showControl(Control::LogView, show);
}

void WindowProcedure::eraseKeysCommand() {
    UpdaterState& st = state();
    if (window_.messageBox(kEraseKeysQuestion, kEraseKeysCaption, BoxButtons::YesNo,
                           BoxIcon::None) != BoxAnswer::Yes) {
        return;
    }
    st.keysErased = true;
    window_.enableMenuItem(kMenuEraseKeys, false);
    window_.showControl(Control::UpdateButton, false);
    window_.showControl(Control::ProgressBar, true);
    clock().sleepMs(2000);
    if (const auto& erase = workflows().eraseNordicKeys) {
        threads().start("eraseKeysThread", [erase] {
            try {
                erase();
            } catch (const std::exception& e) {
                // The thread reports nothing back; the log says what went wrong.
                logLinef("\r\neraseKeysThread: %s\r\n", e.what());
            }
        });
    } else {
        missingWorkflow("eraseNordicKeys");
    }
    // The thread reports nothing back; the command goes on after fixed waits.
    clock().sleepMs(2000);

    if (window_.messageBox(kEraseKeysInstructionsQuestion, kEraseKeysCaption, BoxButtons::YesNo,
                           BoxIcon::None) == BoxAnswer::Yes) {
        clock().sleepMs(10000);
        window_.openUrl(kBondingKeysArticleUrl);
        host_.endProcess(0);
        return;
    }
    clock().sleepMs(2000);
    window_.showControl(Control::ProgressBar, false);
    window_.showControl(Control::UpdateButton, true);
    window_.setButtonText("OK");
}

void WindowProcedure::createRecoveryDialog() {
    UpdaterState& st = state();
    if (st.recoveryDialogOpen.exchange(true)) return;
    if (host_.recoveryDialogExists()) return;
    logLine("\n--  WM_CREATE_RECOVERY_MODE_DLG CreateDialog --\n");
    st.setStatus(kRecoveryModeTitle, " ");
    window_.invalidate(false);
    window_.repaintNow();
    host_.createRecoveryDialog();
}

void WindowProcedure::closeRecoveryDialog() {
    state().recoveryDialogOpen = false;
    if (host_.recoveryDialogExists()) host_.destroyRecoveryDialog();
    window_.invalidate(false);
    window_.repaintNow();
}

void WindowProcedure::startRecoveryFlash() {
    UpdaterState& st = state();
    // The dialog closed itself just before; make sure none is left.
    if (host_.recoveryDialogExists()) host_.destroyRecoveryDialog();
    if (refusedForTestImages(window_)) return;
    st.updateInProgress = true;
    if (runningWorkerThreads() > 0) {
        // Waiting here would hold the window thread that work waits for.
        logLine("Recovery waits for the device work in progress\r\n");
        window_.showControl(Control::ProgressBar, true);
        host_.startTimer(kRecoveryStartTimer, kRecoveryStartPollMs);
        return;
    }
    runRecoveryFlash();
}

void WindowProcedure::runRecoveryFlash() {
    UpdaterState& st = state();
    st.updateInProgress = true;
    st.setStatus(kRecoveryModeTitle, " ");
    window_.invalidate(false);
    window_.showControl(Control::ProgressBar, true);
    // Runs on the window thread: the window waits until the device is written.
    runWorkflow(workflows().onEmergencyProgramFlashMode, "onEmergencyProgramFlashMode",
                deviceRecord(), st.recoveryDeviceType.load(), st.recoveryVariant.load());
}

// --- Recovery dialog -------------------------------------------------------

RecoveryDialogProcedure::RecoveryDialogProcedure(Window& mainWindow,
                                                 RecoveryDialogControls& controls)
    : window_(mainWindow), controls_(controls) {}

void RecoveryDialogProcedure::onInit() {
    logLine("RecoveryModeDialog WM_INITDIALOG\n");
    controls_.setChecked(kRecoveryEnglish, true);
    state().recoveryDialogOpen = true;
    window_.showControl(Control::ProgressBar, false);
    window_.showControl(Control::UpdateButton, false);
    window_.invalidate(true);
    window_.update();
}

void RecoveryDialogProcedure::onClose() {
    logLine("RecoveryModeDialog WM_CLOSE \n");
    cancelled();
}

void RecoveryDialogProcedure::cancelled() {
    window_.sendMessage(WindowMessage::CloseRecoveryModeDlg);
    // A recovery that did not take (another model's firmware, a cable pulled
    // in the write) brought the GPS back here with the run still marked as
    // in progress. Once no device work is left the run is over: the window
    // stops saying it is writing, and says how to try again. Work still
    // running reports its own end.
    if (runningWorkerThreads() > 0) return;
    UpdaterState& st = state();
    st.updateInProgress = false;
    st.jbl = false;
    st.setStatus(kRecoveryModeTitle, kStillInRomBootloaderDetail);
    window_.showControl(Control::ProgressBar, false);
    window_.invalidate(true);
    window_.update();
}

void RecoveryDialogProcedure::setOnlyChecked(int first, int last, int id) {
    for (int box = first; box <= last; ++box) controls_.setChecked(box, false);
    if (id) controls_.setChecked(id, true);
}

void RecoveryDialogProcedure::onCommand(int id, int notificationCode) {
    UpdaterState& st = state();
    st.setStatus(kRecoveryModeTitle, " ");
    window_.invalidate(false);
    window_.repaintNow();
    if (notificationCode != 0) return;  // only clicks are acted on

    if (id >= kRecoveryFirstModel && id <= kRecoveryLastModel) {
        if (controls_.isChecked(id)) {
            st.recoveryDeviceType = id - 1000;
            logLinef("RecoveryModeDialog [%i][%i]-[%i] checked\n", id, notificationCode, id - 1000);
            setOnlyChecked(kRecoveryFirstModel, kRecoveryLastModel, id);
        } else {
            // The last model chosen is kept even though no box shows it.
            logLinef("RecoveryModeDialog [%i][%i] unchecked\n", id, notificationCode);
            setOnlyChecked(kRecoveryFirstModel, kRecoveryLastModel, 0);
        }
        return;
    }
    if (id == kRecoveryJapanese || id == kRecoveryEnglish) {
        if (controls_.isChecked(id)) {
            st.recoveryVariant = id - 1000;
            logLinef("RecoveryModeDialog [%i][%i]-[%i] checked\n", id, notificationCode, id - 1000);
            controls_.setChecked(kRecoveryJapanese, false);
            controls_.setChecked(kRecoveryEnglish, false);
            controls_.setChecked(id, true);
        } else {
            logLinef("RecoveryModeDialog [%i][%i] unchecked\n", id, notificationCode);
            st.recoveryVariant = -99;
            controls_.setChecked(kRecoveryEnglish, true);
            controls_.setChecked(kRecoveryJapanese, false);
        }
        return;
    }
    if (id == kRecoveryOk) {
        const int type = st.recoveryDeviceType;
        if (type < 4 || type > 16) return;  // no model chosen: the dialog stays
        st.recoveryVariant = controls_.isChecked(kRecoveryJapanese) ? kJapaneseVariant : -99;
        window_.showControl(Control::ProgressBar, true);
        window_.showControl(Control::UpdateButton, false);
        window_.invalidate(true);
        window_.update();
        window_.sendMessage(WindowMessage::CloseRecoveryModeDlg);
        window_.sendMessage(WindowMessage::StartRecoveryFlash, type);
        return;
    }
    if (id == kRecoveryCancel) cancelled();
}

}  // namespace core
