#include "core/DeviceScan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <vector>

#include "core/CommandLink.h"
#include "core/DevicePermission.h"
#include "core/GpsDrive.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/TestImages.h"
#include "core/UpdaterState.h"
#include "core/Window.h"

namespace core {

namespace {

constexpr int kRecordLength = 6;  // reply code, raw id, major, minor, A, B

void sendToWindow(WindowMessage message) {
    if (Window* window = services().window) window->sendMessage(message);
}

bool readDeviceOnce(SharedDeviceRecord& shared) {
    UpdaterState& st = state();
    sendStatus(0, nullptr, "");
    logLine("\nSending READ_DEVICE_INFO\r\n");

    std::array<uint8_t, kLinkInputReportSize> reply{};
    size_t length = 0;
    bool ok = false;
    try {
        ok = linkTransaction(READ_DEVICE_INFO, reply, &length);
    } catch (const std::exception&) {
        waitSeconds(1);
        ok = linkTransaction(READ_DEVICE_INFO, reply, &length);
    }
    if (!ok) return false;
    if (length < kRecordLength + 2) {
        // Bytes beyond the reply would be left over from before: no answer.
        logLinef("Device information too short (%d bytes)\r\n",
                 static_cast<int>(length >= 2 ? length - 2 : 0));
        return false;
    }

    const int raw = static_cast<int8_t>(reply[1]);
    int norm = raw;
    st.GRawDevID = raw;
    if (raw > 59 && raw < 126) {
        st.gcbn = kJapaneseVariant;
        norm = raw - kJapaneseOffset;
    }
    st.GNormDevID = norm;
    const int32_t updaterBuild = updaterRadioBuildFor(norm);
    st.updaterRadioBuild = updaterBuild;
    logLinef("\nDEVICE_ID RAW [%d] NORM[%d] U[%li]\r\n", raw, norm,
             static_cast<long>(updaterBuild));
    if (norm < 0 || norm >= kDeviceTypeCount) {
        logLine("Invalid GPS model\r\n");
        return false;
    }

    DeviceRecord rec = shared.snapshot();
    rec.deviceType = norm;
    rec.versionMajor = static_cast<int8_t>(reply[2]);
    rec.versionMinor = static_cast<int8_t>(reply[3]);
    rec.infoByteA = static_cast<int8_t>(reply[4]);
    rec.infoByteB = static_cast<int8_t>(reply[5]);
    rec.modelName = deviceTypeName(norm);
    rec.rawId = raw;
    rec.dlv = kJapaneseVariant;  // every device read over the link is the Japanese variant

    const int32_t deviceBuild = st.deviceRadioBuild;
    if (deviceBuild > 0) {
        rec.connectedText =
            formatText("%s connected\nVer: %d.%d-%li\nJapanese", rec.modelName.c_str(),
                       rec.versionMajor, rec.versionMinor, static_cast<long>(deviceBuild));
    } else {
        rec.connectedText = formatText("%s connected\nVer: %d.%d\nJapanese", rec.modelName.c_str(),
                                       rec.versionMajor, rec.versionMinor);
    }

    const FirmwareVersion target = firmwareVersionTable[static_cast<size_t>(norm)];
    rec.targetMajor = target.major;
    rec.targetMinor = target.minor;
    st.sameFirmwareVersion = false;
    st.bypassRadioVersionCheck = false;
    st.sameRadioBuild = false;

    auto publish = [&] {
        shared.store(rec);
        reportCallbacks().currentDevice = &shared;
    };

    if (rec.targetMajor == 0 && rec.targetMinor < 40) {
        rec.statusMessage =
            "This updater will not work for your device. You must update at least 1 time with "
            "the manual updater before this automatic updater will work";
        rec.updateLabel.clear();
        publish();
        return true;
    }

    if (rec.targetMajor == rec.versionMajor && rec.targetMinor == rec.versionMinor) {
        st.sameFirmwareVersion = true;
        if (st.updaterRadioBuild == st.deviceRadioBuild) st.sameRadioBuild = true;
        if (st.sameFirmwareVersion && st.sameRadioBuild) {
            rec.statusMessage = "Latest software is installed on device";
            rec.updateLabel.clear();
        }
        if (st.updateInProgress) {
            rec.statusMessage = "Programming Please Wait...";
            rec.updateLabel.clear();
        }
        publish();
        return true;
    }

    if (testImagesOnly()) {
        // Shown and read, never offered: the notice takes the update's place.
        rec.statusMessage = kTestImagesNotice;
        rec.updateLabel.clear();
        publish();
        return true;
    }
    rec.updateLabel = updateLabelText(rec.targetMajor, rec.targetMinor);
    rec.statusMessage.clear();
    if (rec.versionMajor == 0) {
        st.bypassRadioVersionCheck = true;
        logLine("Rev ZERO bypass nordic version check\r\n");
    } else if ((rec.versionMajor == 1 && rec.versionMinor < 61) ||
               (rec.versionMajor == 2 && rec.versionMinor <= 66)) {
        st.bypassRadioVersionCheck = true;
        logLine("Rev ONE-SIXTY bypass nordic version check\r\n");
    }

    const bool targetOlder =
        rec.targetMajor < rec.versionMajor ||
        (rec.targetMajor == rec.versionMajor && rec.targetMinor < rec.versionMinor);
    rec.promptText = targetOlder
                         ? "This updater contains older software than your device, are you "
                           "sure you want to use old software?"
                         : "Please do not unplug your device.  This will take a few minutes.";
    rec.confirmText = "Update";
    rec.cancelText = "Cancel";
    publish();
    return true;
}

}  // namespace

bool readDevice(SharedDeviceRecord& record) {
    try {
        return readDeviceOnce(record);
    } catch (const std::exception&) {
        if (++state().readDeviceCrashCount < 3) {
            logLine("readDevice Crash - retrying\n\r");
            return readDevice(record);
        }
        return false;
    }
}

bool readDevice() {
    return readDevice(deviceRecord());
}

std::string updateLabelText(int major, int minor) {
    return formatText(minor < 10 ? "Update to %d.%02d" : "Update to %d.%d", major, minor);
}

std::optional<int> productIdFromHardwareId(const std::string& hardwareId) {
    const size_t at = hardwareId.find("PID_");
    if (at == std::string::npos) return std::nullopt;
    int value = 0;
    int digits = 0;
    for (size_t i = at + 4; i < hardwareId.size(); ++i) {
        const char c = hardwareId[i];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else {
            break;
        }
        // USB product ids have four hex digits; more than that is not one.
        if (++digits > 4) return std::nullopt;
        value = value * 16 + d;
    }
    if (digits == 0) return std::nullopt;
    return value;
}

bool isFlashBootloaderProductId(int productId) {
    return (productId >= 4 && productId <= 16) || (productId >= 64 && productId <= 76);
}

void deviceScan() {
    UpdaterState& st = state();
    if (st.scanInProgress.exchange(true)) {
        logLine("deviceScan - Already Device SCAN in progress\r\n");
        return;
    }
    logLine("\r\ndeviceScan BEGIN\r\n");
    st.ishf = false;
    bool makerDeviceSeen = false;

    std::vector<platform::UsbDevice> devices;
    if (platform::UsbDeviceList* usb = services().usbDevices) devices = usb->devices();
    std::vector<std::string> ids;
    for (const platform::UsbDevice& d : devices) ids.push_back(d.hardwareId);

    // Two GPS units: the link would reach one and the drive search might
    // take the other's drive. Neither is touched until one is unplugged.
    // One: its drive is the one on its USB device.
    std::optional<platform::UsbDevice> gps;
    int units = 0;
    for (const platform::UsbDevice& d : devices) {
        if (d.hardwareId.find("VID_2B29") == std::string::npos) continue;
        const std::optional<int> pid = productIdFromHardwareId(d.hardwareId);
        if (!pid || (*pid != kGpsAppProductId && !isFlashBootloaderProductId(*pid))) continue;
        ++units;
        gps = d;
    }
    st.gpsUnitsSeen = units;
    st.setGpsUsbDevice(units == 1 && (!gps->path.empty() || !gps->serial.empty()) ? gps
                                                                                  : std::nullopt);
    if (units > 1) {
        logLinef("deviceScan: %d Quorta GPS devices are connected\r\n", units);
        if (Window* window = services().window) {
            window->showControl(Control::UpdateButton, false);
            window->showControl(Control::ProgressBar, false);
        }
        sendStatus(0, kTwoGpsTitle, kTwoGpsDetail);
        logLine("deviceScan D END\r\n");
        st.scanInProgress = false;
        return;
    }

    for (size_t i = 0; i < ids.size(); ++i) {
        const int idx = static_cast<int>(i);
        const std::string& id = ids[i];
        if (id.empty()) continue;  // its id could not be read
        if (id.find("VID_15A2") != std::string::npos) {
            makerDeviceSeen = true;
            logLinef("idx:(%i)-VID_15A2\r\n", idx);
            sendToWindow(WindowMessage::CreateRecoveryModeDlg);
            continue;
        }
        if (id.find("VID_2B29") == std::string::npos) continue;

        makerDeviceSeen = true;
        if (st.recoveryDialogOpen) sendToWindow(WindowMessage::CloseRecoveryModeDlg);
        logLinef("idx:(%i)-VID_2B29\r\n", idx);
        if (id.find("PID_") == std::string::npos) continue;
        const std::optional<int> pid = productIdFromHardwareId(id);
        if (!pid) {
            logLinef("idx:(%i)-VID_2B29 unreadable product id in \"%.80s\"\r\n", idx, id.c_str());
            continue;
        }
        const int productId = *pid;
        st.scannedProductId = productId;
        logLinef("idx:(%i)-VID_2B29 PID[%2X]\r\n", idx, static_cast<unsigned>(productId));

        if (!st.ishf && productId == kGpsAppProductId) {
            st.ishf = true;
            if (Window* window = services().window) window->startMarquee();
            bool announced = false;
            if (readDevice()) {
                if (std::optional<std::string> root = findGpsDrive()) {
                    st.setGpsDriveRoot(*root);
                    announced = true;
                }
            } else {
                reportPermissionProblem();
            }
            if (announced) {
                sendToWindow(WindowMessage::OnDeviceInfoRead);
            } else {
                st.ishf = false;
            }
            const DeviceRecord rec = deviceRecord().snapshot();
            logLinef(
                "devinfoScan B pid:%X ishf:%i jbl:%i U[%d.%2.2d] D[%d.%2.2d] U[%li] D[%li]\r\n",
                static_cast<unsigned>(productId), st.ishf ? 1 : 0, st.jbl ? 1 : 0, rec.targetMajor,
                rec.targetMinor, rec.versionMajor, rec.versionMinor,
                static_cast<long>(st.updaterRadioBuild.load()),
                static_cast<long>(st.deviceRadioBuild.load()));
            logLine("deviceScan B END\r\n");
            return;
        }

        clock().sleepMs(1500);
        if (isFlashBootloaderProductId(productId) && !st.jbl) {
            if (Window* window = services().window) {
                window->showControl(Control::UpdateButton, false);
                window->showControl(Control::ProgressBar, true);
            }
            if (services().startOnBootloaderModeThread) services().startOnBootloaderModeThread();
            st.jbl = true;
            logLine("deviceScan C END\r\n");
            return;
        }
    }

    if (!makerDeviceSeen && st.recoveryDialogOpen) {
        sendToWindow(WindowMessage::CloseRecoveryModeDlg);
    }
    if (!makerDeviceSeen) forgetPermissionProblem();
    logLine("deviceScan A END\r\n");
    st.scanInProgress = false;
}

}  // namespace core
