#include "core/Maintenance.h"

#include <array>
#include <exception>
#include <memory>

#include "core/CommandLink.h"
#include "core/DevicePermission.h"
#include "core/PowerGuard.h"
#include "core/ReportCallbacks.h"
#include "core/UpdaterState.h"
#include "hidport/hidport.h"

namespace core {

namespace {

using GpsHandle = std::unique_ptr<hidport::hid_device, decltype(&hidport::hid_close)>;

constexpr int kReadTimeoutMs = 1000;

// Opens the GPS with the maintenance commands' log lines; null (with the
// window's operation marked complete) when it cannot be opened.
GpsHandle openForCommand() {
    logLine("Opening HID device\r\n");
    GpsHandle device(openGpsApplication(), &hidport::hid_close);
    if (!device) {
        logLine("Failed to open HID device\r\n");
        sendStatus(1, nullptr, "");
    }
    return device;
}

// Logs what the radio says after the erase command. Ten counted reads end
// it (an empty read counts twice, as in the version question); a device
// that is gone ends it at once.
void listenAfterErase(hidport::hid_device* handle) {
    std::array<uint8_t, 65> buffer{};
    for (int counter = 0; counter < kEraseKeysReadLimit;) {
        buffer.fill(0);
        ++counter;
        const int n =
            hidport::hid_read_timeout(handle, buffer.data(), kLinkInputReportSize, kReadTimeoutMs);
        if (n < 0) break;
        if (n == 0) {
            ++counter;
            continue;
        }
        logLine(reinterpret_cast<const char*>(buffer.data()));
    }
}

}  // namespace

bool factoryReset() {
    PowerGuard awake(kFactoryResetReason);
    sendStatus(0, nullptr, "Wait for Device to Reconnect\nPlease Wait...");
    try {
        GpsHandle device = openForCommand();
        if (!device) return false;
        logLine("Sending factory reset command\r\n");
        sendLinkCommand(FACTORY_RESET, device.get());
        device.reset();
        // The GPS restarts and comes back as a new USB device.
        hidport::hid_exit();
        return true;
    } catch (const std::exception& e) {
        logLinef("Factory reset failed: %s\r\n", e.what());
        return false;
    }
}

bool eraseNordicKeys() {
    bool sent = false;
    try {
        GpsHandle device = openForCommand();
        if (!device) return false;
        logLine("Sending nordic erase keys command\r\n");
        sendLinkCommand(NORDIC_ERASE_KEYS, device.get());
        sent = true;
        state().deviceRadioBuild = 0;
        listenAfterErase(device.get());
    } catch (const std::exception& e) {
        logLinef("Erasing the bonding keys: %s\r\n", e.what());
    }
    return sent;
}

}  // namespace core
