#include "blTrace.h"

#include <json/value.h>

#include <cmath>
#include <cstdlib>

#include "platform/Clock.h"
#include "trace/HidTraceSession.h"
#include "trace/ReplaySession.h"

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

Session::Session() : hid_(std::make_unique<trace::HidTraceSession>(kProgram)) {}

Session::~Session() = default;

bool Session::open(const Options& options, const std::vector<std::string>& args,
                   std::string* error) {
    if (options.timeScale) platform::setSharedClockScale(*options.timeScale);
    if (options.replay) return hid_->replay(*options.replay, error);
    if (!options.record) return true;
    Json::Value header(Json::objectValue);
    header["timeScale"] = options.timeScale.value_or(1.0);
    return hid_->record(*options.record, args, header, error);
}

bool Session::recordedIds(uint16_t* vendorId, uint16_t* productId) const {
    if (!hid_->replaying()) return false;
    for (const trace::Entry& e : hid_->replaying()->trace().entries) {
        if (e.op != trace::Op::Open) continue;
        *vendorId = e.vendorId;
        *productId = e.productId;
        return true;
    }
    return false;
}

int Session::finish(int code) {
    trace::Outcome now;
    now.exitCode = code;
    return hid_->finish(now);
}

}  // namespace bltrace
