// --scan-once: one scan, its log, the device found and what is offered.
#include <algorithm>

#include "CliParts.h"
#include "CliWindow.h"
#include "core/DeviceScan.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdaterState.h"
#include "platform/InstanceLock.h"

namespace ui_cli {

int runScanOnce(const core::FrontEndContext& context, std::ostream& out) {
    if (context.lock && !context.lock->acquire(context.lockName)) {
        out << core::kAlreadyRunningText << "\n";
        return core::kExitOk;
    }
    core::installReportCallbacks();
    core::reportCallbacks().logLine = [&out](const std::string& line) {
        out << terminalText(line);
    };
    // Only looking: no window, and nothing programmed.
    core::Services& s = core::services();
    s.window = nullptr;
    s.startOnBootloaderModeThread = nullptr;

    core::deviceScan();

    std::vector<std::string> ids;
    if (s.usbDevices) ids = s.usbDevices->hardwareIds();
    auto seen = [&](auto&& match) { return std::any_of(ids.begin(), ids.end(), match); };
    out << "\n";
    if (core::state().ishf) {
        const core::DeviceRecord record = core::deviceRecord().snapshot();
        for (const std::string& line : linesOf(record.connectedText)) out << line << "\n";
        if (!record.updateLabel.empty()) {
            out << "Offer: " << record.updateLabel << "\n";
        } else if (!record.statusMessage.empty()) {
            out << record.statusMessage << "\n";
        }
    } else if (core::state().gpsUnitsSeen > 1) {
        for (const std::string& line : linesOf(core::kTwoGpsTitle)) out << line << "\n";
        out << core::kTwoGpsDetail << "\n";
    } else if (seen([](const std::string& id) {
                   return id.find("VID_15A2") != std::string::npos;
               })) {
        out << "A Quorta GPS is in its ROM bootloader: start the updater to recover it.\n";
    } else if (seen([](const std::string& id) {
                   const auto pid = core::productIdFromHardwareId(id);
                   return id.find("VID_2B29") != std::string::npos && pid &&
                          core::isFlashBootloaderProductId(*pid);
               })) {
        out << "A Quorta GPS is in its flash bootloader: start the updater to finish "
               "programming it.\n";
    } else if (seen([](const std::string& id) {
                   return id.find("VID_2B29") != std::string::npos;
               })) {
        out << "A Quorta GPS is connected but could not be read.\n";
    } else {
        out << "No Quorta GPS device was found.\n";
    }
    out.flush();
    core::clearReportCallbacks();
    if (context.lock) context.lock->release();
    return core::kExitOk;
}

}  // namespace ui_cli
