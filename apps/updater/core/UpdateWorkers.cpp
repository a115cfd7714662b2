#include "core/UpdateWorkers.h"

#include <optional>
#include <string>

#include "core/CommandLink.h"
#include "core/DeviceScan.h"
#include "core/FirmwareProgramming.h"
#include "core/GpsDrive.h"
#include "core/LanguagePacks.h"
#include "core/Nordic.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdateEndNotice.h"
#include "core/UpdaterState.h"
#include "core/Window.h"

namespace core {

namespace {

void showControl(Control control, bool show) {
    if (Window* window = services().window) window->showControl(control, show);
}

void invalidateWithErase() {
    if (Window* window = services().window) window->invalidate(true);
}

void messageBoxOk(const char* text, const char* caption) {
    if (Window* window = services().window) {
        window->messageBox(text, caption, BoxButtons::Ok, BoxIcon::None);
    }
}

// WM_DESTROY: the program's orderly end.
void endProgram() {
    if (Window* window = services().window) window->destroy();
}

// A problem that ends the update and the program: the box says what to do,
// and the desktop says it too when the user is elsewhere.
void failUpdate(const char* text) {
    updateEnded(text);
    state().failureShown = true;
    messageBoxOk(text, kWirelessProblemCaption);
    endProgram();
}

void sendDeviceInfoRead() {
    if (Window* window = services().window) window->sendMessage(WindowMessage::OnDeviceInfoRead);
}

void sleepMs(int ms) {
    clock().sleepMs(ms);
}

SharedDeviceRecord& connectedRecord() {
    SharedDeviceRecord* current = reportCallbacks().currentDevice.load();
    return current ? *current : deviceRecord();
}

int deviceDlv() {
    return connectedRecord().snapshot().dlv;
}

// The radio version question, up to three attempts.
bool checkNordicVersionThrice() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (checkNordicVersion()) return true;
    }
    return false;
}

// The radio update, up to three calls with a pause between.
bool updateNordicThrice() {
    for (int call = 0; call < 3; ++call) {
        if (call > 0) sleepMs(kNordicRetryMs);
        if (updateNordic()) return true;
    }
    return false;
}

bool isProgrammableType(int type) {
    return type >= 4 && type <= 16;
}

void runBootloaderMode(int productId) {
    const UpdaterState& st = state();
    logLinef("\r\n- startOnBootloaderModeThread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n",
             st.GRawDevID.load(), st.GNormDevID.load(), st.gcbn.load(), deviceDlv());
    PowerGuard awake(kWritingFirmwareReason);
    sleepMs(kBootloaderSettleMs);
    programInBootloaderMode(productId, kGpsVendorId);
}

}  // namespace

// --- Starters -------------------------------------------------------------------

void startUpdateWorkerThread() {
    updateBegun();
    state().updateInProgress = true;
    invalidateWithErase();
    showControl(Control::ProgressBar, true);
    showControl(Control::UpdateButton, false);
    threads().start(kUpdateWorkerName, updateWorkerThread);
}

void startUpdateNordic() {
    state().updateInProgress = true;
    invalidateWithErase();
    showControl(Control::ProgressBar, true);
    showControl(Control::UpdateButton, false);
    threads().start(kWirelessWorkerName, updateNordicThread);
}

void startOnBootloaderModeThread() {
    // The product id the scan saw now; a later scan may store another.
    const int productId = state().scannedProductId;
    updateBegun();
    threads().start(kBootloaderModeName, [productId] { runBootloaderMode(productId); });
}

// --- The update worker ------------------------------------------------------------

void updateWorkerThread() {
    UpdaterState& st = state();
    if (st.updateThreadActive.exchange(true)) {
        logLine("\r\n- Already Update Thread Active\r\n");
        return;
    }
    // Given back before a box that ends the program: it may wait for a
    // click all night.
    PowerGuard awake(kUpdatingFirmwareReason);
    st.updateInProgress = true;
    invalidateWithErase();
    st.jbl = false;
    sleepMs(kWorkerSettleMs);

    auto logIds = [&st] {
        logLinef("\r\n- startUpdateWorkerThread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n",
                 st.GRawDevID.load(), st.GNormDevID.load(), st.gcbn.load(), deviceDlv());
    };
    logIds();
    showControl(Control::UpdateButton, false);
    showControl(Control::ProgressBar, true);

    bool ready;
    if (isProgrammableType(st.GNormDevID)) {
        // Every programmable model gets the Japanese image, main firmware
        // first, radio after its return.
        st.gcbn = kJapaneseVariant;
        st.reverseUpgrade = true;
        ready = true;
        logIds();
    } else {
        ready = checkNordicVersionThrice();
    }
    logLinef("Start A gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());

    if (!ready) {
        awake.endNow();
        failUpdate(kNoCommunicationText);
    } else {
        logLinef("Start B gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());
        sendStatus(0, nullptr, "Working...");
        sleepMs(kWorkingMs);

        bool ok;
        if (st.reverseUpgrade) {
            ok = true;
            logLine("REVERSE UPGRADE REQUIRED\r\n");
        } else {
            ok = updateNordicThrice();
        }
        logLinef("Start C gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());
        if (ok) {
            sleepMs(kWorkerSettleMs);
            updateFirmware(connectedRecord());
        } else {
            awake.endNow();
            failUpdate(kRestartAndRetryText);
        }
    }
    // updateInProgress stays set: the device is on its way into its bootloader.
    st.updateThreadActive = false;
}

// --- The wireless worker ------------------------------------------------------------

void updateNordicThread() {
    UpdaterState& st = state();
    if (st.updateThreadActive.exchange(true)) {
        logLine("\r\n- Nordic Already Update Thread Active\r\n");
        return;
    }
    // Held through the language packs and the restore of the user's data
    // that the device-information message runs.
    PowerGuard awake(kUpdatingRadioReason);
    st.updateInProgress = true;
    invalidateWithErase();
    st.jbl = false;
    sleepMs(kWorkerSettleMs);

    logLinef("\r\n- Nordic Thread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n",
             st.GRawDevID.load(), st.GNormDevID.load(), st.gcbn.load(), deviceDlv());
    showControl(Control::UpdateButton, false);
    showControl(Control::ProgressBar, true);

    const bool ready = checkNordicVersionThrice();
    logLinef("Nordic Start A gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());
    if (!ready) {
        awake.endNow();
        failUpdate(kNoCommunicationText);
        st.updateThreadActive = false;
        return;
    }

    logLinef("Nordic Start B gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());
    sendStatus(0, nullptr, "Working...");
    sleepMs(kWorkingMs);
    const bool ok = updateNordicThrice();
    logLinef("Nordic Start C gcbn:%i dlv:%i\r\n", st.gcbn.load(), deviceDlv());

    if (!ok) {
        awake.endNow();
        failUpdate(kRestartAndRetryText);
        st.updateThreadActive = false;
        return;
    }

    // The GPS restarts its radio and its drive.
    sleepMs(kRadioRestartMs);
    const bool read = readDevice();
    std::optional<std::string> root;
    if (read) root = findGpsDrive();
    if (!read || !root) {
        // Nothing to show: the next device event rescans.
        st.ishf = false;
        st.updateThreadActive = false;
        return;
    }

    sleepMs(kNordicRetryMs);
    st.deviceRadioBuild = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) {
            st.bypassRadioVersionCheck = false;
            sleepMs(kNordicRetryMs);
        }
        if (checkNordicVersion()) break;
    }
    st.updateThreadActive = false;
    st.setGpsDriveRoot(*root);

    if (deviceDlv() == kJapaneseVariant && st.GNormDevID >= 11 && st.GNormDevID <= 16) {
        st.languagePackBusy = true;
        showControl(Control::ProgressBar, true);
        showControl(Control::UpdateButton, false);
        if (Window* window = services().window) {
            window->invalidate(true);
            window->update();
        }
        const bool loaded = updateLanguagePacks();
        showControl(Control::ProgressBar, false);
        st.languagePackBusy = false;
        if (!loaded) {
            st.failureShown = true;
            messageBoxOk(kWorkerLanguagePackFailedText, kWorkerLanguagePackCaption);
        }
    }

    if (!st.reverseUpgrade) st.updateInProgress = false;
    sendDeviceInfoRead();
    st.updateThreadActive = false;
}

// --- The bootloader-mode thread ---------------------------------------------------------

void bootloaderModeThread() {
    runBootloaderMode(state().scannedProductId);
}

}  // namespace core
