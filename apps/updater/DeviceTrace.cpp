#include "DeviceTrace.h"

#include <json/value.h>

#include "core/DeviceRecord.h"
#include "core/UpdaterState.h"
#include "trace/HidTraceSession.h"
#include "trace/RecordingSeams.h"
#include "trace/ReplaySeams.h"
#include "trace/ReplaySession.h"
#include "trace/TraceWriter.h"

namespace {

constexpr const char* kProgram = "quorta-updater";

// The firmware version and radio build carried per device type.
Json::Value carriedImages() {
    Json::Value carried(Json::objectValue);
    for (int type = 4; type < core::kDeviceTypeCount; ++type) {
        const core::FirmwareVersion v = core::firmwareVersionTable[static_cast<size_t>(type)];
        Json::Value entry(Json::objectValue);
        entry["firmware"] =
            std::to_string(v.major) + "." + (v.minor < 10 ? "0" : "") + std::to_string(v.minor);
        entry["radio"] = core::updaterRadioBuildFor(type);
        carried[std::to_string(type)] = entry;
    }
    return carried;
}

}  // namespace

DeviceTrace::DeviceTrace() : hid_(std::make_unique<trace::HidTraceSession>(kProgram)) {}

DeviceTrace::~DeviceTrace() = default;

bool DeviceTrace::replaying() const {
    return hid_->replaying() != nullptr;
}

bool DeviceTrace::open(const core::ProgramOptions& options, const std::vector<std::string>& args,
                       std::string* error) {
    if (options.replayTrace) return hid_->replay(*options.replayTrace, error);
    if (!options.recordTrace) return true;
    Json::Value header(Json::objectValue);
    header["timeScale"] = options.timeScale.value_or(1.0);
    header["carried"] = carriedImages();
    return hid_->record(*options.recordTrace, args, header, error);
}

void DeviceTrace::replaceSeams(core::Services& services, platform::DeviceEvents*& events) {
    trace::ReplaySession& session = *hid_->replaying();
    replayUsb_ = std::make_unique<trace::ReplayUsbDeviceList>(session);
    replayVolumes_ = std::make_unique<trace::ReplayVolumes>(session);
    replayEjector_ = std::make_unique<trace::ReplayVolumeEjector>();
    replayEvents_ = std::make_unique<trace::ReplayDeviceEvents>(session);
    services.usbDevices = replayUsb_.get();
    services.volumes = replayVolumes_.get();
    services.volumeEjector = replayEjector_.get();
    events = replayEvents_.get();
}

void DeviceTrace::wrapSeams(core::Services& services, platform::DeviceEvents*& events) {
    if (hid_->replaying() && services.files) {
        replayFiles_ = std::make_unique<trace::ReplayFiles>(*services.files, *hid_->replaying());
        services.files = replayFiles_.get();
    }
    trace::TraceWriter* writer = hid_->recording();
    if (!writer) return;
    if (services.usbDevices) {
        recordingUsb_ =
            std::make_unique<trace::RecordingUsbDeviceList>(*services.usbDevices, *writer);
        services.usbDevices = recordingUsb_.get();
    }
    if (services.volumes) {
        recordingVolumes_ = std::make_unique<trace::RecordingVolumes>(*services.volumes, *writer);
        services.volumes = recordingVolumes_.get();
    }
    if (services.files) {
        recordingFiles_ = std::make_unique<trace::RecordingFiles>(*services.files, *writer);
        services.files = recordingFiles_.get();
    }
    if (events) {
        recordingEvents_ = std::make_unique<trace::RecordingDeviceEvents>(*events, *writer);
        events = recordingEvents_.get();
    }
}

int DeviceTrace::finish(int code) {
    trace::Outcome now;
    now.exitCode = code;
    now.title = core::state().statusTitle();
    now.detail = core::state().statusDetail();
    return hid_->finish(now);
}
