#include "core/Nordic.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>

#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/DevicePermission.h"
#include "core/DeviceRecord.h"
#include "core/DriveWriteCheck.h"
#include "core/GpsDrive.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/Staging.h"
#include "core/StatusReporting.h"
#include "core/TestImages.h"
#include "core/UpdaterState.h"
#include "core/images/radioImages.h"
#include "hidport/hidport.h"
#include "platform/Files.h"

namespace core {

namespace {

using GpsHandle = std::unique_ptr<hidport::hid_device, decltype(&hidport::hid_close)>;

GpsHandle openGps() {
    return GpsHandle(openGpsApplication(), &hidport::hid_close);
}

constexpr int kVersionAttempts = 10;
constexpr int kProgressReadLimit = 5000;
constexpr int kReadTimeoutMs = 1000;
constexpr int kReportBufferSize = 65;  // one report and a NUL after it

// Reads one report into a cleared buffer: the byte count, 0 for nothing, -1
// when the device is gone.
int readReport(hidport::hid_device* handle, std::array<uint8_t, kReportBufferSize>& buffer) {
    buffer.fill(0);
    return hidport::hid_read_timeout(handle, buffer.data(), kLinkInputReportSize, kReadTimeoutMs);
}

bool isKeptCharacter(char c) {
    if (c == '.' || c == ':' || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case 'E':
        case 'I':
        case 'N':
        case 'O':
        case 'R':
        case 'S':
        case 'V':
        case 'e':
        case 'i':
        case 'n':
        case 'o':
        case 'r':
        case 's':
        case 'v':
            return true;
        default:
            return false;
    }
}

// The record of the connected device, if one was published.
std::optional<DeviceRecord> currentRecord() {
    SharedDeviceRecord* shared = reportCallbacks().currentDevice.load();
    if (!shared) return std::nullopt;
    return shared->snapshot();
}

bool askRadioVersion() {
    UpdaterState& st = state();
    GpsHandle device = openGps();
    if (!device) return false;
    sendLinkCommand(NRF_GET_VERSION, device.get());
    logLine("Sending NRF_GET_VERSION command\r\n");
    st.deviceRadioBuild = 0;

    bool taken = false;
    std::array<uint8_t, kReportBufferSize> buffer{};
    for (int attempts = 0; !taken && attempts < kVersionAttempts;) {
        ++attempts;
        const int n = readReport(device.get(), buffer);
        if (n < 0) break;  // the device is gone: no answer can come
        if (n == 0) {
            ++attempts;  // a silent radio is given up sooner
            continue;
        }
        const std::string filtered =
            filterRadioVersionText(reinterpret_cast<const char*>(buffer.data()));
        if (filtered.find("VERSION") == std::string::npos) continue;
        logLine("NRF_GET_VERSION VERSION success\r\n");
        const RadioVersion version = parseRadioVersion(filtered);
        if (version.dots == 3) {
            // Digits too many for a build number give no build (it stays 0),
            // but the answer is a version all the same.
            const int32_t build = version.build.value_or(0);
            st.deviceRadioBuild = build;
            logLinef("NRF [%s:%li] Clear ReverseUpgrade\r\n", version.digits.c_str(),
                     static_cast<long>(build));
            st.reverseUpgrade = false;
            if (!version.build) {
                logLinef("NRF version digits [%s] are not a build number\r\n",
                         version.digits.c_str());
            } else if (build < kReverseUpgradeBelow) {
                logLine("NRF_GET_VERSION - REDACTED! REVERSE UPGRADE REQUIRED. \r\n");
            }
        }
        taken = true;
    }
    device.reset();

    if (!taken) {
        if (std::optional<DeviceRecord> record = currentRecord()) {
            const int type = st.GNormDevID;
            if (type == 11 || type == 12) {
                st.bypassRadioVersionCheck = true;
                logLine("SPECIAL BUILD - CONDOR SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n");
            } else {
                const std::string title = formatText("%s\nError check version wireless firmware",
                                                     record->modelName.c_str());
                sendStatus(1, title.c_str(), nullptr);
            }
        }
    }
    return taken;
}

struct RadioFiles {
    std::string stagedImage, stagedInit;
    std::string driveImage, driveInit;
};

// Decoded image, staged and copied onto the drive; false after a failure
// that was logged.
bool putRadioOnDrive(platform::Files& files, const RadioFiles& paths, uint32_t imageLength,
                     std::optional<uint32_t> initLength) {
    files.deleteFile(paths.stagedImage, nullptr);
    files.deleteFile(paths.stagedInit, nullptr);
    waitSeconds(5);

    if (!writeStagingFile(files, paths.stagedImage, images::imageBuffer, imageLength)) return false;
    if (!copyToDrive(files, paths.stagedImage, paths.driveImage)) {
        files.deleteFile(paths.stagedImage, nullptr);
        waitSeconds(5);
        return false;
    }
    if (initLength) {
        if (!writeStagingFile(files, paths.stagedInit, images::initPacketBuffer, *initLength))
            return false;
        if (!copyToDrive(files, paths.stagedInit, paths.driveInit)) {
            files.deleteFile(paths.stagedInit, nullptr);
            waitSeconds(5);
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

// About how many progress ticks a radio update sends before its completion.
constexpr uint64_t kRadioTicksInAll = 1500;

int radioTickPercent(const std::string& tick, uint64_t ticksSoFar) {
    if (tick.size() > 1 && tick[0] == '*' && std::isdigit(static_cast<unsigned char>(tick[1]))) {
        const unsigned long said = std::strtoul(tick.c_str() + 1, nullptr, 10);
        return static_cast<int>(std::min<unsigned long>(said, 100));
    }
    // Only the completion text makes it whole.
    return static_cast<int>(std::min<uint64_t>(ticksSoFar * 100 / kRadioTicksInAll, 99));
}

}  // namespace

int followRadioProgress(hidport::hid_device* handle, const std::string& modelName) {
    bool announced = false;
    // The bar follows the ticks from the first one on; a tick that names its
    // own percentage ("*42") says it directly.
    std::optional<ProgressStep> bar;
    uint64_t ticks = 0;
    std::array<uint8_t, kReportBufferSize> raw{};
    std::array<uint8_t, kLinkInputReportSize> reply{};
    for (int counter = 0; counter < kProgressReadLimit;) {
        ++counter;
        const int n = readReport(handle, raw);
        if (n < 0) {
            logLine("The device is gone while updating the wireless firmware\r\n");
            return 0;
        }
        if (n == 0) {
            counter += 10;
            continue;
        }
        if (raw[1] == '%') {
            logLinef("ANT_UPDATE_FAILED [%8.8s]\r\n", reinterpret_cast<const char*>(raw.data()));
            return -1;
        }
        reply.fill(0);
        size_t length = 0;
        const bool complete =
            decodeLinkReport(std::span(raw.data(), static_cast<size_t>(n)), reply, &length);
        if (length == 0 || reply[0] != DEVICE_TEXT) continue;
        // The text runs from the second decoded byte to its NUL, never into
        // the CRC of a complete frame.
        const size_t end = complete && length >= 2 ? length - 2 : length;
        std::string text;
        for (size_t i = 1; i < end && reply[i] != 0; ++i)
            text.push_back(static_cast<char>(reply[i]));

        if (!text.empty() && text[0] == '*') {
            if (!announced) {
                announced = true;
                const std::string title =
                    formatText("%s\nProgramming wireless firmware", modelName.c_str());
                sendStatus(0, title.c_str(), nullptr);
                bar.emplace(ProgressKind::Radio, 100);
            }
            ++ticks;
            bar->reach(static_cast<uint64_t>(radioTickPercent(text, ticks)));
            if (counter % 64 == 63) logLinef("%d ", counter);
            if (counter == 375) sendStatus(0, nullptr, "25% done");
            if (counter == 750) sendStatus(0, nullptr, "50% done");
            if (counter == 1225) sendStatus(0, nullptr, "75% done");
            continue;
        }
        const std::string first8 = text.substr(0, 8);
        if (first8 == "Succus!!") {
            if (bar) bar->reach(100);
            sendStatus(0, nullptr, "Waiting for Device.");
            setUpdatePhase(UpdatePhase::RadioDone);
            return 1;
        }
        if (first8 == "complete" || first8 == "file clo") {
            if (bar) bar->reach(100);
            sendStatus(0, nullptr, "Waiting for Device");
            setUpdatePhase(UpdatePhase::RadioDone);
            return 1;
        }
        logLine(text);
    }
    return 0;
}

namespace {

bool runUpdateNordic() {
    UpdaterState& st = state();
    std::optional<DeviceRecord> record = currentRecord();

    if (record) {
        const int lowBits = record->deviceType & 0x0F;
        if (lowBits > 10) {
            if (st.deviceRadioBuild == kCurrentCondorRadioBuild)
                logLine("\n--NORDIC UP TO DATE CONDOR--\r\n");
        } else if (st.deviceRadioBuild == kCurrentRadioBuild) {
            logLine("\n--NORDIC UP TO DATE--\r\n");
            return true;
        }
    }

    const std::string root = currentGpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    if (!checkDriveWritable(root)) return false;
    if (record) {
        const std::string title =
            formatText("Copying new firmware to\n%s", record->modelName.c_str());
        sendStatus(0, title.c_str(), nullptr);
    }
    logLine("Determining Model\n");

    const int forced = st.forcedDeviceType;
    if (forced <= 0 && !record) {
        sendStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    const int type = forced > 0 ? forced : record->deviceType;

    const int gcbn = st.gcbn;
    if (gcbn == -99 || gcbn == kJapaneseVariant) {
        if (SharedDeviceRecord* shared = reportCallbacks().currentDevice.load()) {
            shared->modify([&](DeviceRecord& r) { r.dlv = gcbn == -99 ? 0 : kJapaneseVariant; });
        }
    }

    const images::RadioImageEntry* entry = images::findRadioImage(type);
    if (!entry) {
        logLine("Invalid device type\r\n");
        sendStatus(1, "Error\nUnable to determine device model.", nullptr);
        return false;
    }
    const std::string modelName = record ? record->modelName : deviceTypeName(type);
    const images::LogLine log = [](const std::string& line) { logLine(line); };

    sendStatus(0, formatText("%s\nCopying wireless firmware", modelName.c_str()).c_str(), nullptr);
    setUpdatePhase(UpdatePhase::RadioCopy);
    const std::string errorTitle =
        formatText("%s\nError updating wireless firmware", modelName.c_str());
    std::optional<uint32_t> imageLength = images::unpackRadioImage(*entry, log);
    if (!imageLength) {
        sendStatus(1, errorTitle.c_str(), nullptr);
        return false;
    }
    const uint16_t crc = imageCrc16(images::imageBuffer, *imageLength);
    std::optional<uint32_t> initLength;
    if (entry->hasInitPacket()) {
        initLength = images::unpackRadioInitPacket(*entry, log);
        if (!initLength) {
            sendStatus(1, errorTitle.c_str(), nullptr);
            return false;
        }
    }

    const std::string staging = prepareStagingFolder();
    if (staging.empty()) return false;
    platform::Files* files = filesOrLog();
    if (!files) return false;
    RadioFiles paths{staging + kStagedRadioImage, staging + kStagedRadioInit,
                     root + kDriveRadioImage, root + kDriveRadioInit};

    if (!putRadioOnDrive(*files, paths, *imageLength, initLength)) return false;

    logLine("successfully wrote new nrf_update.bin\r\n");
    setUpdatePhase(UpdatePhase::Radio);
    sendStatus(0, formatText("%s\nUpdating wireless firmware", modelName.c_str()).c_str(), nullptr);
    waitSeconds(5);
    ejectGpsDrive(root);
    waitSeconds(5);
    files->deleteFile(paths.stagedImage, nullptr);
    files->deleteFile(paths.stagedInit, nullptr);

    GpsHandle device = openGps();
    if (!device) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    sendLinkCommandWithArgs(UPDATE_NORDIC, device.get(), crc, *imageLength);
    logLine("Sending UPDATE_NORDIC command\r\n");
    const int outcome = followRadioProgress(device.get(), modelName);
    device.reset();
    if (outcome < 0) return false;
    if (outcome == 0) sendStatus(1, errorTitle.c_str(), nullptr);
    return outcome == 1;
}

}  // namespace

std::string filterRadioVersionText(std::string_view raw) {
    std::string filtered;
    for (char c : raw) {
        if (c == '\0') break;
        if (c == ' ') {
            filtered.push_back('0');
        } else if (isKeptCharacter(c)) {
            filtered.push_back(c);
        }
    }
    return filtered;
}

RadioVersion parseRadioVersion(std::string_view filtered) {
    RadioVersion version;
    std::string versionDigits, buildDigits;
    for (char c : filtered) {
        if (c == '.') {
            ++version.dots;
        } else if (c >= '0' && c <= '9') {
            if (version.dots == 1 || version.dots == 2) {
                versionDigits.push_back(c);
            } else if (version.dots == 3) {
                buildDigits.push_back(c);
            }
        }
    }
    if (version.dots != 3) return version;
    if (buildDigits.size() == 1) {
        buildDigits = "00" + buildDigits;
    } else if (buildDigits.size() == 2) {
        buildDigits = "0" + buildDigits;
    } else if (buildDigits.size() > 3) {
        buildDigits.resize(3);
    }
    version.digits = versionDigits + buildDigits;
    // Nine digits always fit; a longer run of digits is not a build number
    // this program knows, and is not guessed at.
    if (version.digits.size() <= 9) {
        version.build =
            version.digits.empty()
                ? 0
                : static_cast<int32_t>(std::strtol(version.digits.c_str(), nullptr, 10));
    }
    return version;
}

uint16_t imageCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) | (crc << 8));
        crc ^= data[i];
        crc ^= static_cast<uint16_t>((crc & 0xFF) >> 4);
        crc ^= static_cast<uint16_t>(crc << 12);
        crc ^= static_cast<uint16_t>((crc & 0xFF) << 5);
    }
    return crc;
}

bool checkNordicVersion() {
    UpdaterState& st = state();
    if (st.deviceRadioBuild > 0) {
        logLinef("Already have NRFV [%li]\r\n", static_cast<long>(st.deviceRadioBuild.load()));
        return true;
    }
    if (st.bypassRadioVersionCheck) {
        logLine("ByPass Flag Set NRFV\r\n");
        return true;
    }
    try {
        return askRadioVersion();
    } catch (const std::exception& e) {
        logLinef("NRF_GET_VERSION failed: %s\r\n", e.what());
        return false;
    }
}

bool updateNordic() {
    if (refuseImageWrite()) return false;
    try {
        return runUpdateNordic();
    } catch (const std::exception& e) {
        logLinef("Wireless firmware update failed: %s\r\n", e.what());
        return false;
    }
}

}  // namespace core
