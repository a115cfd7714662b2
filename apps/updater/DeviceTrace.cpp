#include "DeviceTrace.h"

#include <json/value.h>

#include "core/DeviceRecord.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "trace/HidRecorder.h"
#include "trace/HidReplay.h"
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

DeviceTrace::DeviceTrace() = default;

DeviceTrace::~DeviceTrace() {
    hidport::setObserver(nullptr);
    if (session_) {
        hidport::setExternalBackend(nullptr);
        hidport::setBackend(hidport::Backend::Real);
    }
}

bool DeviceTrace::open(const core::ProgramOptions& options, const std::vector<std::string>& args,
                       std::string* error) {
    if (options.replayTrace) {
        session_ = trace::ReplaySession::load(*options.replayTrace, kProgram,
                                              platform::sharedClock(), error);
        if (!session_) return false;
        hidReplay_ = std::make_unique<trace::HidReplay>(*session_);
        hidport::setExternalBackend(hidReplay_.get());
        hidport::setBackend(hidport::Backend::External);
        return true;
    }
    if (!options.recordTrace) return true;
    Json::Value header(Json::objectValue);
    header["program"] = kProgram;
    header["version"] = QUORTA_VERSION;
    Json::Value argList(Json::arrayValue);
    for (const std::string& arg : args) argList.append(arg);
    header["args"] = argList;
    header["timeScale"] = options.timeScale.value_or(1.0);
    header["carried"] = carriedImages();
    writer_ =
        trace::TraceWriter::create(*options.recordTrace, header, platform::sharedClock(), error);
    if (!writer_) return false;
    hidRecorder_ = std::make_unique<trace::HidRecorder>(*writer_);
    hidport::setObserver(hidRecorder_.get());
    return true;
}

void DeviceTrace::replaceSeams(core::Services& services, platform::DeviceEvents*& events) {
    replayUsb_ = std::make_unique<trace::ReplayUsbDeviceList>(*session_);
    replayVolumes_ = std::make_unique<trace::ReplayVolumes>(*session_);
    replayEjector_ = std::make_unique<trace::ReplayVolumeEjector>();
    replayEvents_ = std::make_unique<trace::ReplayDeviceEvents>(*session_);
    services.usbDevices = replayUsb_.get();
    services.volumes = replayVolumes_.get();
    services.volumeEjector = replayEjector_.get();
    events = replayEvents_.get();
}

void DeviceTrace::wrapSeams(core::Services& services, platform::DeviceEvents*& events) {
    if (session_ && services.files) {
        replayFiles_ = std::make_unique<trace::ReplayFiles>(*services.files, *session_);
        services.files = replayFiles_.get();
    }
    if (!writer_) return;
    if (services.usbDevices) {
        recordingUsb_ =
            std::make_unique<trace::RecordingUsbDeviceList>(*services.usbDevices, *writer_);
        services.usbDevices = recordingUsb_.get();
    }
    if (services.volumes) {
        recordingVolumes_ = std::make_unique<trace::RecordingVolumes>(*services.volumes, *writer_);
        services.volumes = recordingVolumes_.get();
    }
    if (services.files) {
        recordingFiles_ = std::make_unique<trace::RecordingFiles>(*services.files, *writer_);
        services.files = recordingFiles_.get();
    }
    if (events) {
        recordingEvents_ = std::make_unique<trace::RecordingDeviceEvents>(*events, *writer_);
        events = recordingEvents_.get();
    }
}

int DeviceTrace::finish(int code) {
    if (writer_) {
        hidport::setObserver(nullptr);
        writer_->end(code);
    }
    if (session_) session_->finish();
    return code;
}
