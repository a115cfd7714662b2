#include "blTrace.h"

#include <json/value.h>

#include <cmath>
#include <cstdlib>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "trace/HidRecorder.h"
#include "trace/HidReplay.h"
#include "trace/ReplaySession.h"
#include "trace/TraceWriter.h"

namespace bltrace {

namespace {
constexpr const char* kProgram = "quorta-bl";
}

bool parseTimeScale(const std::string& text, std::optional<double>* scale) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 100) {
        return false;
    }
    *scale = value;
    return true;
}

std::string check(const Options& options, bool simulate, bool serial, bool scaledWaits) {
    if (options.replay && (options.record || simulate)) {
        return "--replay-trace goes with neither --simulate nor --record-trace";
    }
    if ((options.replay || options.record) && serial) {
        return "traces are of USB devices: not with --port, --bridge or --simulate-serial";
    }
    if (options.timeScale && !options.replay && !scaledWaits) {
        return "--time-scale works only with --simulate, --replay-trace or on emulated devices";
    }
    return "";
}

Session::Session() = default;

Session::~Session() {
    hidport::setObserver(nullptr);
    if (session_) {
        hidport::setExternalBackend(nullptr);
        hidport::setBackend(hidport::Backend::Real);
    }
}

bool Session::open(const Options& options, const std::vector<std::string>& args,
                   std::string* error) {
    if (options.timeScale) platform::setSharedClockScale(*options.timeScale);
    if (options.replay) {
        session_ =
            trace::ReplaySession::load(*options.replay, kProgram, platform::sharedClock(), error);
        if (!session_) return false;
        replay_ = std::make_unique<trace::HidReplay>(*session_);
        hidport::setExternalBackend(replay_.get());
        hidport::setBackend(hidport::Backend::External);
        return true;
    }
    if (!options.record) return true;
    Json::Value header(Json::objectValue);
    header["program"] = kProgram;
    header["version"] = QUORTA_VERSION;
    Json::Value argList(Json::arrayValue);
    for (const std::string& arg : args) argList.append(arg);
    header["args"] = argList;
    writer_ = trace::TraceWriter::create(*options.record, header, platform::sharedClock(), error);
    if (!writer_) return false;
    recorder_ = std::make_unique<trace::HidRecorder>(*writer_);
    hidport::setObserver(recorder_.get());
    return true;
}

bool Session::recordedIds(uint16_t* vendorId, uint16_t* productId) const {
    if (!session_) return false;
    for (const trace::Entry& e : session_->trace().entries) {
        if (e.op != trace::Op::Open) continue;
        *vendorId = e.vendorId;
        *productId = e.productId;
        return true;
    }
    return false;
}

int Session::finish(int code) {
    if (writer_) {
        hidport::setObserver(nullptr);
        writer_->end(code);
    }
    if (session_) session_->finish();
    return code;
}

}  // namespace bltrace
