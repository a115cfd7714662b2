#include "core/LanguagePacks.h"

#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/DevicePermission.h"
#include "core/DeviceRecord.h"
#include "core/DriveWriteCheck.h"
#include "core/GpsDrive.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/Staging.h"
#include "core/StatusReporting.h"
#include "core/TestImages.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "core/images/fontPacks.h"
#include "hidport/hidport.h"
#include "platform/Files.h"

namespace core {

namespace {

using GpsHandle = std::unique_ptr<hidport::hid_device, decltype(&hidport::hid_close)>;

constexpr int kReadTimeoutMs = 1000;

struct FontTexts {
    const char* unpacking;
    const char* fileNameLog;
    const char* transfer;
};

FontTexts textsFor(const std::string& fileName) {
    if (fileName == "Kanji_11x12.bin")
        return {"Language Pack Update\nUnPacking 1 of 2", "FN 1 of 2 = %s\n\r",
                "Language Pack Update\nXfer 1 of 2"};
    if (fileName == "Kanji_18x18.bin")
        return {"Language Pack Update\nUnPacking 2 of 2", "FN 2 of 2 = %s\n\r",
                "Language Pack Update\nXfer 2 of 2"};
    return {"Language Pack Update\nUnPacking condor 1 of 1", "FN condor 1 of 1 = %s\n\r",
            "Language Pack Update\nXfer condor 1 of 1"};
}

// Decodes one font, stages it and copies it onto the drive.
bool copyFont(platform::Files& files, const images::FontPack& pack, const std::string& staging,
              const std::string& root) {
    const FontTexts texts = textsFor(pack.fileName);
    sendStatus(0, nullptr, texts.unpacking);
    std::optional<uint32_t> length =
        images::unpackFontPack(pack, [](const std::string& line) { logLine(line); });
    if (!length) return false;
    const std::string stagedPath = staging + pack.fileName;
    const std::string drivePath = root + pack.fileName;
    logLine(formatText(texts.fileNameLog, drivePath.c_str()));
    sendStatus(0, nullptr, texts.transfer);
    if (!writeStagingFile(files, stagedPath, images::imageBuffer, *length)) return false;
    return copyToDrive(files, stagedPath, drivePath);
}

}  // namespace

FontLoadOutcome listenForFontLoading(hidport::hid_device* handle) {
    FontLoadOutcome outcome;
    bool finished = false;
    std::array<uint8_t, 65> buffer{};
    for (int counter = 0; !finished && counter < kLanguagePackReadLimit;) {
        logLine("while KANJI_PROGRAM_FLASH\r\n");
        buffer.fill(0);
        ++counter;
        const int n =
            hidport::hid_read_timeout(handle, buffer.data(), kLinkInputReportSize, kReadTimeoutMs);
        if (n < 0) {
            logLinef("RX [%i] device gone\r\n", counter);
            break;
        }
        if (n == 0) {
            ++counter;
            logLinef("RX [%i] N\r\n", counter);
            continue;
        }
        const char* text = reinterpret_cast<const char*>(buffer.data());
        switch (buffer[1]) {
            case 'A':
                ProgressStep::addToCurrent(ProgressKind::Fonts, kFontLoadWeight);
                outcome.pack1 = true;
                sendStatus(1, nullptr, "Language Pack 1 of 2 done!\nDevice Loading...");
                logLinef("RX  KANJI_11x12_SUCCESS [%i][%d][%s]\r\n", counter, n, text);
                break;
            case 'B':
                ProgressStep::addToCurrent(ProgressKind::Fonts, kFontLoadWeight);
                outcome.pack2 = true;
                finished = true;
                sendStatus(1, nullptr, "Language Pack 2 of 2 done!");
                setUpdatePhase(UpdatePhase::LanguagePacksLoaded);
                logLinef("RX  KANJI_18x18_SUCCESS [%i][%d][%d][%02x][%02x][%02x]\r\n", counter, n,
                         0, buffer[0], buffer[1], buffer[2]);
                break;
            case 'C':
                ProgressStep::addToCurrent(ProgressKind::Fonts, kFontLoadWeight);
                outcome.single = true;
                finished = true;
                sendStatus(1, nullptr, "Language Pack condor done!");
                setUpdatePhase(UpdatePhase::LanguagePacksLoaded);
                logLinef("RX  KANJI_19x19_SUCCESS [%i][%d][%s]\r\n", counter, n, text);
                break;
            case 'D':
                outcome = FontLoadOutcome{};
                finished = true;
                break;
            default:
                break;
        }
    }
    return outcome;
}

namespace {

bool runLanguagePacks() {
    UpdaterState& st = state();
    sendStatus(0, nullptr, "Language Pack Update\nUnPacking");
    setUpdatePhase(UpdatePhase::LanguagePackCopy);
    const std::string root = currentGpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    logLine("Determining Model\r\n");
    std::optional<DeviceRecord> record;
    if (SharedDeviceRecord* shared = reportCallbacks().currentDevice.load())
        record = shared->snapshot();
    const int forced = st.forcedDeviceType;
    if (forced <= 0 && !record) {
        sendStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    const int type = forced > 0 ? forced : record->deviceType;
    if (!record || record->dlv != kJapaneseVariant) return false;
    if (!checkDriveWritable(root)) return false;

    const std::string staging = prepareStagingFolder();
    if (staging.empty()) return false;
    platform::Files* files = filesOrLog();
    if (!files) return false;

    const std::vector<const images::FontPack*> packs = images::fontPacksForType(type);
    // One bar from the first copy to the last pack loaded.
    ProgressStep progress(ProgressKind::Fonts,
                          packs.size() * (kFontCopyWeight + kFontLoadWeight) + kFontWaitsWeight);
    for (const images::FontPack* pack : packs) {
        if (!copyFont(*files, *pack, staging, root)) return false;
        progress.add(kFontCopyWeight);
    }

    waitSeconds(10);
    sendStatus(1, nullptr, "Language Pack Update\nDevice Loading...");
    setUpdatePhase(UpdatePhase::LanguagePacks);
    GpsHandle device(openGpsApplication(), &hidport::hid_close);
    if (!device) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    waitSeconds(10);
    logLine("Sending KANJI_PROGRAM_FLASH command\r\n");
    sendLinkCommand(KANJI_PROGRAM_FLASH, device.get());
    waitSeconds(15);
    logLine("Begin KANJI_PROGRAM_FLASH\r\n");
    const FontLoadOutcome outcome = listenForFontLoading(device.get());
    device.reset();

    const bool singlePack = packs.size() == 1;
    const bool result = singlePack ? outcome.single : (outcome.pack1 && outcome.pack2);
    sendStatus(1, nullptr, "");
    return result;
}

}  // namespace

bool updateLanguagePacks() {
    if (refuseImageWrite()) return false;
    try {
        return runLanguagePacks();
    } catch (const std::exception& e) {
        logLinef("Language pack update failed: %s\r\n", e.what());
        return false;
    }
}

void languagePackCommand() {
    UpdaterState& st = state();
    Window* window = services().window;
    st.factoryResetPending = false;
    if (testImagesOnly()) {
        // Also after a factory reset: a build with test images gives no fonts
        // back, and says so instead of trying.
        refuseImageWrite();
        if (window) {
            window->messageBox(kTestImagesNotice, kTestImagesCaption, BoxButtons::Ok,
                               BoxIcon::Warning);
            window->showControl(Control::UpdateButton, true);
        }
        return;
    }
    st.languagePackBusy = true;
    if (window) {
        window->showControl(Control::UpdateButton, false);
        window->messageBox(
            "Sending Command to appy NEW Language Pack. This will take a while so do not unplug "
            "device",
            "Language Pack", BoxButtons::Ok, BoxIcon::None);
        window->showControl(Control::ProgressBar, true);
    }
    // Only while the device works: the box that follows may wait for long.
    const bool ok = [] {
        PowerGuard awake(kLanguagePacksReason);
        return updateLanguagePacks();
    }();
    if (window) window->showControl(Control::ProgressBar, false);
    st.languagePackBusy = false;
    st.updateInProgress = false;
    refreshControls();
    if (window) {
        window->messageBox(
            ok ? "Successfully Updated Language Packs." : "Could Not Update Language Packs.",
            "Language Pack", BoxButtons::Ok, BoxIcon::None);
        window->showControl(Control::UpdateButton, true);
    }
    logLine(" updateButton SW_SHOW C \r\n");
    if (window) {
        window->invalidate(true);
        window->update();
    }
}

}  // namespace core
