#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "bootloader/Bootloader.h"
#include "bootloader/Command.h"
#include "bootloader/Logger.h"
#include "core/Backup.h"
#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/DevicePermission.h"
#include "core/FirmwareProgramming.h"
#include "core/FirmwareProgrammingDetail.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/TestImages.h"
#include "core/UpdateEndNotice.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "core/images/firmwareImages.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"

namespace core {

using namespace programming;

namespace {

// The driver wait: at most 45 s, with its two texts at 15 s and 30 s; the
// bootloader is asked every short while, each time given at most a second
// to answer.
constexpr int64_t kDriverWaitMs = 45'000;
constexpr int64_t kDriverWaitFirstTextMs = 15'000;
constexpr int64_t kDriverWaitSecondTextMs = 30'000;
constexpr int64_t kDriverPollMs = 250;
constexpr int64_t kDriverProbeTimeoutMs = 1'000;

// The connected device's model name, or nothing without a current device.
std::optional<std::string> currentModelName() {
    if (SharedDeviceRecord* record = currentDevice()) return record->snapshot().modelName;
    return std::nullopt;
}

void reportTitleWithModel(int isComplete, const char* format, const char* detail) {
    if (std::optional<std::string> name = currentModelName()) {
        sendStatus(isComplete, formatText(format, name->c_str()).c_str(), detail);
    }
}

// "Reporting the error": the end of a programming run that did not succeed.
void reportProgrammingError(const char* detail) {
    if (std::optional<std::string> name = currentModelName()) {
        const std::string title = formatText(
            "There was a problem updating your %s. Please try again or contact Quorta technical "
            "support.",
            name->c_str());
        sendStatus(1, title.c_str(), detail);
    } else {
        sendStatus(1, "There was a problem updating your GPS",
                   "Please try again or contact Quorta technical support.");
    }
    updateEnded();
}

// Detail shown when a write failed: its exchange did not complete, or the
// device refused it.
constexpr const char* kWriteIncompleteDetail = "Flashing did not complete";
// Detail shown when the device refused to erase: nothing was written.
constexpr const char* kEraseRefusedDetail = "The flash could not be erased";

// Detail shown when the erase got no answer: whether it ran is not known.
constexpr const char* kEraseUnansweredDetail = "The GPS did not answer the erase command";

// The emergency road writes without erasing. A device that holds part of
// another image refuses that write for ever: erase as the bootloader-mode
// road does, then write once more.
WriteResult eraseAndWriteAgain() {
    logLine("The device refused the write: erasing the flash and writing once more\r\n");
    bool regionErased = false;
    if (!eraseFlash(&regionErased) || !regionErased) {
        logLine("Flash erase failed\r\n");
        return WriteResult::Refused;
    }
    logLine("Programming flash once more\r\n");
    WriteResult again = WriteResult::Incomplete;
    if (!programFlash(&again)) logLine("Program flash failed\r\n");
    return again;
}

// One look at the bootloader: open it, ask its current version, close it,
// as the erase will. True when it answered with success.
bool bootloaderAnswers(int64_t timeoutMs) {
    struct HidExit {
        ~HidExit() { hidport::hid_exit(); }
    } hidExit;
    std::unique_ptr<bootloader::Command> command =
        bootloader::Command::create({"get-property", "1"});
    if (!command) return false;
    const UpdaterState& st = state();
    bootloader::PeripheralConfig config;
    config.peripheralKind = bootloader::kPeripheralKind_UsbHid;
    config.vendorId = static_cast<uint16_t>(st.bootloaderVendorId.load());
    config.productId = static_cast<uint16_t>(st.bootloaderProductId.load());
    config.packetTimeoutMs = static_cast<uint32_t>(std::max<int64_t>(timeoutMs, 1));
    try {
        bootloader::Bootloader session(config);
        session.inject(*command);
        session.flush();
    } catch (...) {
        return false;  // not there yet, or gone again
    }
    const std::vector<uint32_t>& values = command->getResponseValues();
    return !values.empty() && values[0] == bootloader::kStatus_Success;
}

// The wait "for drivers": Linux installs none, so it ends as soon as the
// bootloader answers, and lasts at most what the device was always given.
void waitForDrivers() {
    installBootloaderLogger();
    logLine("Waiting 45sec for drivers\r\n");
    sendStatus(0, nullptr, "Updating drivers");
    platform::Clock& c = clock();
    const int64_t start = c.nowMs();
    int64_t slept = 0;  // counted too, for a clock that does not run on its own
    const auto waited = [&] { return std::max(c.nowMs() - start, slept); };
    int textsShown = 0;
    const auto showTexts = [&](int64_t ms) {
        if (textsShown < 1 && ms >= kDriverWaitFirstTextMs) {
            sendStatus(0, nullptr, "Updating drivers\n35% done");
            textsShown = 1;
        }
        if (textsShown < 2 && ms >= kDriverWaitSecondTextMs) {
            sendStatus(0, nullptr, "Updating drivers\n70% done");
            textsShown = 2;
        }
    };
    bool answered = false;
    for (int64_t ms = waited(); ms < kDriverWaitMs; ms = waited()) {
        showTexts(ms);
        const auto probeTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(
            c.realDuration(std::min(kDriverWaitMs - ms, kDriverProbeTimeoutMs)));
        if (bootloaderAnswers(probeTimeout.count())) {
            answered = true;
            break;
        }
        const int64_t pause = std::min(kDriverPollMs, kDriverWaitMs - waited());
        if (pause > 0) {
            c.sleepMs(pause);
            slept += pause;
        }
    }
    const int64_t took = waited();
    showTexts(took);
    logLinef(answered ? "Driver wait: bootloader answered after %.1f sec\r\n"
                      : "Driver wait: no answer from the bootloader in %.1f sec\r\n",
             static_cast<double>(answered ? took : std::min(took, kDriverWaitMs)) / 1000.0);
}

}  // namespace

// --- The two roads --------------------------------------------------------------

bool updateFirmware(SharedDeviceRecord& record) {
    UpdaterState& st = state();
    logLine("updateFirmware\r\n");
    // Before the backup and JUMP_TO_BL: a GPS sent into its bootloader would
    // wait there for an image that is not coming.
    if (refuseImageWrite()) {
        updateEnded();
        return false;
    }
    if (!carriedImageIntact()) {
        logLine("Firmware image damaged: update stopped before JUMP_TO_BL\r\n");
        st.reverseUpgrade = false;
        st.updateInProgress = false;
        updateEnded();
        return false;
    }

    BackupOutcome backup = BackupOutcome::Skipped;
    saveGpsDataToLocal(record.snapshot(), &backup);
    if (backup == BackupOutcome::Failed) {
        // The factory reset that follows the update would wipe the drive:
        // without a complete backup the device is left as it is.
        logLine("Backup failed: update stopped before JUMP_TO_BL\r\n");
        st.reverseUpgrade = false;
        st.updateInProgress = false;
        if (Window* window = services().window) {
            window->showControl(Control::ProgressBar, false);
            const std::string label = record.snapshot().updateLabel;
            if (!label.empty()) window->setButtonText(label);
            window->showControl(Control::UpdateButton, true);
        }
        updateEnded();
        return false;
    }

    logLine("Opening HID device\r\n");
    hidport::hid_device* handle = openGpsApplication();
    if (!handle) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    logLine("Sending command JUMP_TO_BL\r\n");
    setUpdatePhase(UpdatePhase::Jumping);
    sendLinkCommand(JUMP_TO_BL, handle);
    hidport::hid_close(handle);
    hidport::hid_exit();

    reportTitleWithModel(0, "%s connected\nUpdating", nullptr);
    logLine("OK, Waiting for bootloader\r\n");
    setUpdatePhase(UpdatePhase::WaitingForBootloader);
    return true;
}

bool programInBootloaderMode(int productId, int vendorId) {
    UpdaterState& st = state();
    st.bootloaderProductId = productId;
    st.bootloaderVendorId = vendorId;
    st.ADF = false;
    // Not even the erase: the GPS keeps what it has.
    if (refuseImageWrite()) return false;

    if (currentModelName()) {
        reportTitleWithModel(0, "%s connected\nErasing", nullptr);
    } else {
        sendStatus(0, "Emergency mode", nullptr);
    }

    waitForDrivers();

    if (!carriedImageIntact()) {
        // Nothing erased: the device restarts into what it holds.
        logLine("Firmware image damaged: nothing erased\r\n");
        if (!resetDevice()) logLine("Reset device failed\r\n");
        sendStatus(1, kDamagedImageTitle, kDamagedImageDetail);
        return false;
    }

    logLine("Erasing Flash\r\n");
    setUpdatePhase(UpdatePhase::Erasing);
    bool regionErased = false;
    if (!eraseFlash(&regionErased)) {
        logLine("Flash erase failed\r\n");
        reportProgrammingError(nullptr);
        reportPermissionProblem();
        return false;
    }
    if (!regionErased) {
        // Nothing goes onto flash that may not be erased: the device is
        // restarted into what it holds.
        logLine("Flash erase failed\r\n");
        if (!resetDevice()) logLine("Reset device failed\r\n");
        waitSeconds(2);
        reportProgrammingError(gEraseUnanswered ? kEraseUnansweredDetail : kEraseRefusedDetail);
        return false;
    }

    logLine("Programming flash\r\n");
    setUpdatePhase(UpdatePhase::Writing);
    reportTitleWithModel(0, "%s connected\nProgramming GPS Firmware", nullptr);
    WriteResult written = WriteResult::Incomplete;
    if (!programFlash(&written)) {
        logLine("Program flash failed\r\n");
        reportProgrammingError(nullptr);
        reportPermissionProblem();
        return true;
    }

    logLine("Reset device after a 5 second rest\r\n");
    setUpdatePhase(UpdatePhase::Resetting);
    if (currentModelName()) {
        if (st.reverseUpgrade) {
            reportTitleWithModel(0, "%s WAIT", "Not Done Yet");
        } else {
            reportTitleWithModel(0, "%s connected\nRestarting", "Almost done");
            logLine("Set AD Flag true\r\n");
            st.ADF = true;
        }
    }
    {
        ProgressStep progress(ProgressKind::Reset, kResetStepWeight);
        waitSeconds(5);
        if (!resetDevice()) {
            logLine("Reset device failed\r\n");
            reportProgrammingError("Error");
        }
        waitSeconds(2);
    }
    logLine("Set AD Flag false\r\n");
    st.ADF = false;

    if (written != WriteResult::Written) {
        // The device restarts all the same; what it finds is not a whole image.
        reportProgrammingError(kWriteIncompleteDetail);
        return true;
    }
    reportTitleWithModel(1, "%s Flashing success", "");
    return true;
}

bool onEmergencyProgramFlashMode(SharedDeviceRecord& record, int deviceType, int variant) {
    if (refuseImageWrite()) return true;
    PowerGuard awake(kWritingFirmwareReason);
    UpdaterState& st = state();
    st.bootloaderVendorId = kRomBootloaderVendorId;
    st.bootloaderProductId = kRomBootloaderProductId;

    int rawId;
    if (variant == kJapaneseVariant) {
        st.gcbn = kJapaneseVariant;
        rawId = deviceType + kJapaneseOffset;
    } else {
        st.gcbn = -99;
        rawId = deviceType;
    }
    st.GRawDevID = rawId;
    st.GNormDevID = deviceType;
    st.forcedDeviceType = deviceType;

    record.modify([&](DeviceRecord& r) {
        r.deviceType = deviceType;
        r.modelName = deviceTypeName(deviceType);
        r.dlv = variant;
        r.rawId = rawId;
        if (deviceType >= 0 && deviceType < kDeviceTypeCount) {
            r.targetMajor = firmwareVersionTable[static_cast<size_t>(deviceType)].major;
            r.targetMinor = firmwareVersionTable[static_cast<size_t>(deviceType)].minor;
        }
    });
    reportCallbacks().currentDevice = &record;

    setUpdatePhase(UpdatePhase::Recovery);
    logLinef("onEmergencyProgramFlashMode DeviceTypeToFlash [%i] Variant [%i]\r\n", deviceType,
             variant);

    WriteResult written = WriteResult::Incomplete;
    if (programFlash(&written)) {
        if (written == WriteResult::Refused) written = eraseAndWriteAgain();
        logLine("Reset device after a 5 second rest\r\n");
        {
            ProgressStep progress(ProgressKind::Reset, kResetStepWeight);
            waitSeconds(5);
            if (!resetDevice()) logLine("Reset device failed\r\n");
            waitSeconds(2);
        }
        // A device whose image did not land comes back in its ROM bootloader,
        // ready for another try.
        if (written != WriteResult::Written) reportProgrammingError(kWriteIncompleteDetail);
    } else {
        logLine("Program flash failed\r\n");
        reportPermissionProblem();
    }

    st.forcedDeviceType = -1;
    st.gcbn = -99;
    return true;
}

}  // namespace core
