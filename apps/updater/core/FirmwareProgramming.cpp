#include "core/FirmwareProgramming.h"

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

namespace {

constexpr uint32_t kPacketTimeoutMs = 5000;
constexpr const char* kProgramSerialNumber = "0000001";

// The driver wait: at most 45 s, with its two texts at 15 s and 30 s; the
// bootloader is asked every short while, each time given at most a second
// to answer.
constexpr int64_t kDriverWaitMs = 45'000;
constexpr int64_t kDriverWaitFirstTextMs = 15'000;
constexpr int64_t kDriverWaitSecondTextMs = 30'000;
constexpr int64_t kDriverPollMs = 250;
constexpr int64_t kDriverProbeTimeoutMs = 1'000;

// The hex text of the write command. Static, like the image buffer: a
// megabyte and more is not something to allocate per run.
char gProgramHexText[kProgramHexTextSize];

// One bootloader operation at a time (the bootloader-mode thread and the
// recovery run on the window thread could otherwise meet): they share the
// buffers above and would talk to the same device.
std::mutex gProgrammingMutex;

SharedDeviceRecord* currentDevice() {
    return reportCallbacks().currentDevice.load();
}

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
constexpr const char* kDamagedImageTitle = "The firmware image in this updater is damaged";
constexpr const char* kDamagedImageDetail =
    "Nothing was written to the GPS.\nPlease install the updater again.";
// Detail shown when the erase got no answer: whether it ran is not known.
constexpr const char* kEraseUnansweredDetail = "The GPS did not answer the erase command";
// The last erase of the region got no answer at all (as opposed to a refusal).
std::atomic<bool> gEraseUnanswered{false};

std::string statusText(uint32_t status) {
    return bootloader::getStatusMessage(static_cast<int32_t>(status));
}

// The log lines and the one status change the write puts between the steps
// of its session; the erase and the reset have none.
struct SessionSteps {
    const char* beforeSession = nullptr;
    const char* beforeInject = nullptr;
    const char* beforeFlush = nullptr;
    const char* afterFlushDetail = nullptr;
    const char* beforePrint = nullptr;
    const char* beforeFree = nullptr;
    bool serialNumber = false;
    ProgressStep* progress = nullptr;  // told of every packet the device took
};

struct SessionOutcome {
    bool built = false;  // the command could be made from its arguments
    uint32_t status = bootloader::kStatus_NoResponse;
    std::vector<uint32_t> values;  // the status first, as the command recorded them
    std::string details;
};

// Runs one command in a session of its own: create the command, open the
// device (which throws when it cannot), inject, flush, print the response,
// then destroy the command, close the device and release hidapi.
SessionOutcome runSession(std::vector<std::string> args, const SessionSteps& steps) {
    installBootloaderLogger();
    SessionOutcome outcome;

    // Declared first so that it runs last: hidapi holds nothing while the
    // device changes identity, also when opening threw.
    struct HidExit {
        ~HidExit() { hidport::hid_exit(); }
    } hidExit;
    std::unique_ptr<bootloader::Bootloader> session;  // destroyed after the command
    std::unique_ptr<bootloader::Command> command = bootloader::Command::create(std::move(args));
    if (!command) {
        logLine("Bootloader command could not be built\r\n");
        return outcome;
    }
    outcome.built = true;

    const UpdaterState& st = state();
    bootloader::PeripheralConfig config;
    config.peripheralKind = bootloader::kPeripheralKind_UsbHid;
    config.vendorId = static_cast<uint16_t>(st.bootloaderVendorId.load());
    config.productId = static_cast<uint16_t>(st.bootloaderProductId.load());
    config.packetTimeoutMs = kPacketTimeoutMs;
    if (steps.serialNumber && config.serialNumber.empty()) {
        config.serialNumber = kProgramSerialNumber;
    }
    if (ProgressStep* progress = steps.progress) {
        config.reportSent = [progress](bootloader::PacketType type, uint32_t) {
            progress->packetSent(type == bootloader::kPacketType_Data);
        };
    }

    if (steps.beforeSession) logLine(steps.beforeSession);
    session = std::make_unique<bootloader::Bootloader>(config);
    if (steps.beforeInject) logLine(steps.beforeInject);
    session->inject(*command);
    if (steps.beforeFlush) logLine(steps.beforeFlush);
    session->flush();
    if (steps.afterFlushDetail) sendStatus(0, nullptr, steps.afterFlushDetail);

    const std::vector<uint32_t>& values = command->getResponseValues();
    outcome.values = values;
    if (!values.empty()) outcome.status = values[0];
    if (!values.empty() && values[0] != bootloader::kStatus_NoResponseExpected) {
        if (steps.beforePrint) logLine(steps.beforePrint);
        command->printResponse();
    }
    outcome.details = command->getResponseDetails();
    if (steps.beforeFree) logLine(steps.beforeFree);
    return outcome;
}

// Runs `once` until it returns without an error or the operation's counter,
// which is never reset, reaches its limit.
template <class Once>
bool withRetries(std::atomic<int>& counter, int limit, const char* crashLine, int waitBetween,
                 const char* failTitle, Once&& once) {
    for (;;) {
        try {
            return once();
        } catch (const std::exception& e) {
            logLinef("%s\r\n", e.what());
        } catch (...) {
        }
        if (++counter < limit) {
            logLine(crashLine);
            if (waitBetween > 0) waitSeconds(waitBetween);
            continue;
        }
        sendStatus(1, failTitle, nullptr);
        return false;
    }
}

// The image this run is to write decodes to the bytes the build recorded.
// Asked before anything leaves the GPS's hands (JUMP_TO_BL, the erase): a
// damaged image found only at the write would leave it with none.
bool carriedImageIntact() {
    const ProgramTarget target = programTarget();
    // Decoded into the firmware buffer under the lock of the writes that use it.
    std::lock_guard lock(gProgrammingMutex);
    if (images::unpackFirmwareImage(target.deviceType, target.lv, state().gcbn,
                                    [](const std::string& line) { logLine(line); }))
        return true;
    sendStatus(1, kDamagedImageTitle, kDamagedImageDetail);
    return false;
}

uint32_t nextImageLength() {
    const ProgramTarget target = programTarget();
    const images::CompressedImage* entry = images::findFirmwareImage(target.deviceType, target.lv);
    return entry ? entry->decodedLength : 0;
}

// The device's own sector size, asked before erasing past the region; 4 KiB
// when it does not say one that can be used.
uint32_t deviceSectorSize() {
    const SessionOutcome answer = runSession({"get-property", "flash-sector-size"}, SessionSteps{});
    if (std::optional<uint32_t> size = sectorSizeFromAnswer(answer.values)) {
        logLinef("Flash sector size 0x%" PRIx32 "\r\n", *size);
        return *size;
    }
    const std::string why =
        answer.values.size() >= 2 && answer.status == bootloader::kStatus_Success
            ? formatText("answer 0x%" PRIx32, answer.values[1])
            : statusText(answer.status);
    logLinef("Flash sector size could not be read (%s): using 4 KiB\r\n", why.c_str());
    return kFallbackSectorSize;
}

bool eraseFlashOnce(bool* regionErased, ProgressStep& progress) {
    if (regionErased) *regionErased = false;
    logLinef("Erasing 0x%" PRIx32 " bytes from 0x%" PRIx32 "\r\n", kEraseRegionLength,
             kApplicationAddress);
    const SessionOutcome region =
        runSession(eraseArguments(kApplicationAddress, kEraseRegionLength), SessionSteps{});
    if (!region.built) return false;
    progress.add(kEraseSessionWeight);
    gEraseUnanswered = region.status == bootloader::kStatus_NoResponse;
    if (region.status != bootloader::kStatus_Success) {
        logLinef(
            gEraseUnanswered ? "Flash erase got no answer: %s\r\n" : "Flash erase refused: %s\r\n",
            statusText(region.status).c_str());
        waitSeconds(2);
        return true;
    }
    if (regionErased) *regionErased = true;

    // An image longer than the region runs on past 0x80000: erase that tail
    // in the device's own sectors. Should the device refuse, the write's own
    // status tells whether the image landed.
    const uint32_t imageLength = nextImageLength();
    if (imageLength > kEraseRegionLength) {
        const uint32_t tail = tailEraseLength(imageLength, deviceSectorSize());
        logLinef("Erasing 0x%" PRIx32 " bytes from 0x%" PRIx32 "\r\n", tail, kEraseRegionEnd);
        const SessionOutcome end =
            runSession(eraseArguments(kEraseRegionEnd, tail), SessionSteps{});
        if (end.status != bootloader::kStatus_Success) {
            logLinef("Flash erase past the region refused: %s\r\n", statusText(end.status).c_str());
        }
    }
    waitSeconds(2);
    return true;
}

bool programFlashOnce(WriteResult* result) {
    UpdaterState& st = state();
    sendStatus(0, nullptr, "Step 2 of 3\nStarted");

    SharedDeviceRecord* current = currentDevice();
    int deviceType;
    if (st.forcedDeviceType > 0) {
        deviceType = st.forcedDeviceType;
        logLine("Using device type override\r\n");
    } else if (current) {
        deviceType = current->snapshot().deviceType;
        logLine("Using usb reported device type\r\n");
    } else {
        deviceType = st.bootloaderProductId;
        sendStatus(0, "Emergency Mode\nUsing product id from bootloader", nullptr);
    }

    const int gcbn = st.gcbn;
    const int lv = gcbn == kJapaneseVariant ? kJapaneseVariant : 0;
    if (current && (gcbn == -99 || gcbn == kJapaneseVariant)) {
        current->modify([&](DeviceRecord& r) { r.dlv = gcbn == -99 ? 0 : kJapaneseVariant; });
    }
    if (deviceType >= 60 && deviceType <= 126) deviceType -= kJapaneseOffset;
    logLinef("\n-- Flash AA m:%i gcbn:%i lv:%i --\r\n", deviceType, gcbn, lv);

    const std::optional<uint32_t> imageLength = images::unpackFirmwareImage(
        deviceType, lv, gcbn, [](const std::string& line) { logLine(line); });
    if (!imageLength) return false;  // nothing written

    logLine("Building program command\r\n");
    const std::optional<std::string_view> hexText =
        buildProgramHexText(images::firmwareBuffer, *imageLength);
    if (!hexText) {
        logLinef("Firmware image of %" PRIu32 " bytes is too long for the program command\r\n",
                 *imageLength);
        sendStatus(0, nullptr, "Firmware image too large to program");
        return false;
    }
    logLine("Programming...Do not unplug\r\n");
    sendStatus(0, nullptr, "Programming...Do not unplug");

    SessionSteps steps;
    steps.beforeSession = "Sending bootloader program command\r\n";
    steps.beforeInject = "inject program command\r\n";
    steps.beforeFlush = "flush program command\r\n";
    steps.afterFlushDetail = st.reverseUpgrade ? "Flashing Started" : "Step 3 of 3\nStarted";
    steps.beforePrint = "got responce values\r\n";
    steps.beforeFree = "freeing memory command\r\n";
    steps.serialNumber = true;
    SessionOutcome outcome;
    {
        ProgressStep progress(ProgressKind::Write, writeDataReports(*imageLength));
        steps.progress = &progress;
        outcome = runSession({"write-memory", "0xa000", std::string(*hexText)}, steps);
    }
    if (!outcome.built) return false;

    const WriteResult judged = judgeWrite(outcome.status, outcome.details);
    if (judged != WriteResult::Written) {
        logLinef("Program command %s: %s (%s)\r\n",
                 judged == WriteResult::Refused ? "refused by the device" : "did not complete",
                 statusText(outcome.status).c_str(),
                 outcome.details.empty() ? "nothing sent" : outcome.details.c_str());
    }
    if (result) *result = judged;
    return true;
}

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

bool resetDeviceOnce() {
    sendStatus(0, nullptr, "Resetting Device\nPlease Wait...");
    logLine("Sending bootloader reset device\r\n");
    const bool built = runSession({"reset"}, SessionSteps{}).built;
    if (built) ProgressStep::addToCurrent(ProgressKind::Reset, kResetSessionWeight);
    return built;
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

// --- Pieces -------------------------------------------------------------------

ProgramTarget programTarget() {
    const UpdaterState& st = state();
    ProgramTarget target;
    if (st.forcedDeviceType > 0) {
        target.deviceType = st.forcedDeviceType;
    } else if (SharedDeviceRecord* current = currentDevice()) {
        target.deviceType = current->snapshot().deviceType;
    } else {
        target.deviceType = st.bootloaderProductId;
    }
    if (target.deviceType >= 60 && target.deviceType <= 126) target.deviceType -= kJapaneseOffset;
    target.lv = st.gcbn == kJapaneseVariant ? kJapaneseVariant : 0;
    return target;
}

uint32_t tailEraseLength(uint32_t imageLength, uint32_t sectorSize) {
    const uint64_t end = uint64_t{kApplicationAddress} + imageLength;
    if (end <= kEraseRegionEnd || sectorSize == 0) return 0;
    const uint64_t rounded = (end + sectorSize - 1) / sectorSize * sectorSize;
    return static_cast<uint32_t>(rounded - kEraseRegionEnd);
}

std::optional<uint32_t> sectorSizeFromAnswer(const std::vector<uint32_t>& values) {
    if (values.size() < 2 || values[0] != bootloader::kStatus_Success) return std::nullopt;
    const uint32_t size = values[1];
    // A sector that does not divide 0x80000 could not start the tail there.
    if (size < kSmallestSectorSize || size > kEraseRegionEnd || (size & (size - 1)) != 0) {
        return std::nullopt;
    }
    return size;
}

std::vector<std::string> eraseArguments(uint32_t start, uint32_t length) {
    char from[16];
    char bytes[16];
    std::snprintf(from, sizeof from, "0x%" PRIx32, start);
    std::snprintf(bytes, sizeof bytes, "0x%" PRIx32, length);
    return {"flash-erase-region", from, bytes};
}

std::optional<std::string_view> buildProgramHexText(const uint8_t* image, size_t length) {
    if (length > kLargestProgrammableImage) return std::nullopt;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char* out = gProgramHexText;
    *out++ = '{';
    *out++ = '{';
    for (size_t i = 0; i < length; ++i) {
        *out++ = kDigits[image[i] >> 4];
        *out++ = kDigits[image[i] & 0x0F];
    }
    *out++ = '}';
    *out++ = '}';
    *out = '\0';
    return std::string_view(gProgramHexText, static_cast<size_t>(out - gProgramHexText));
}

WriteResult judgeWrite(uint32_t status, const std::string& details) {
    switch (status) {
        case bootloader::kStatus_UnknownCommand:  // not the response that ends the write
        case bootloader::kStatus_AbortDataPhase:
        case bootloader::kStatus_NoResponse:
            return WriteResult::Incomplete;
        case bootloader::kStatus_Success:
            break;
        default:
            return WriteResult::Refused;  // the device's own failure status
    }
    unsigned written = 0;
    unsigned total = 0;
    if (std::sscanf(details.c_str(), "Wrote %u of %u bytes.", &written, &total) != 2) {
        return WriteResult::Incomplete;
    }
    return written == total ? WriteResult::Written : WriteResult::Incomplete;
}

ProgrammingErrorCounts programmingErrorCounts() {
    const Context& c = context();
    return {c.eraseErrors.load(), c.programErrors.load(), c.resetErrors.load()};
}

void installBootloaderLogger() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The updater prints none of the library's messages: its own log says
        // what each session did. Below the byte trace, so that a write makes
        // no logger call per byte (the library's own logger would be at 7).
        static bootloader::FileLogger logger("quorta-updater");
        logger.filterLevel = bootloader::kLogError;
        if (!bootloader::getLogger()) bootloader::setLogger(&logger);
    });
}

// --- The three operations -------------------------------------------------------

bool eraseFlash(bool* regionErased) {
    if (regionErased) *regionErased = false;
    std::lock_guard lock(gProgrammingMutex);
    ProgressStep progress(ProgressKind::Erase, kEraseStepWeight);
    return withRetries(context().eraseErrors, kEraseRetryLimit, "Erase Crash - retrying\n\r", 0,
                       "Failed to erase flash",
                       [&] { return eraseFlashOnce(regionErased, progress); });
}

bool programFlash(WriteResult* result) {
    if (result) *result = WriteResult::Incomplete;
    std::lock_guard lock(gProgrammingMutex);
    return withRetries(context().programErrors, kProgramRetryLimit, "Program Crash - retrying\n\r",
                       0, "Program device failed", [result] { return programFlashOnce(result); });
}

bool resetDevice() {
    std::lock_guard lock(gProgrammingMutex);
    return withRetries(context().resetErrors, kResetRetryLimit, "Reset Crash - retrying\n\r", 2,
                       "Failed to reset device", [] { return resetDeviceOnce(); });
}

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
