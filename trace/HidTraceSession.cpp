#include "HidTraceSession.h"

#include "HidRecorder.h"
#include "HidReplay.h"
#include "ReplaySession.h"
#include "TraceWriter.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"

namespace trace {

HidTraceSession::HidTraceSession(std::string program) : program_(std::move(program)) {}

HidTraceSession::~HidTraceSession() {
    hidport::setObserver(nullptr);
    if (session_) {
        hidport::setExternalBackend(nullptr);
        hidport::setBackend(hidport::Backend::Real);
    }
}

bool HidTraceSession::replay(const std::string& path, std::string* error) {
    session_ = ReplaySession::load(path, program_, platform::sharedClock(), error);
    if (!session_) return false;
    replay_ = std::make_unique<HidReplay>(*session_);
    hidport::setExternalBackend(replay_.get());
    hidport::setBackend(hidport::Backend::External);
    return true;
}

bool HidTraceSession::record(const std::string& path, const std::vector<std::string>& args,
                             Json::Value header, std::string* error) {
    header["program"] = program_;
    header["version"] = QUORTA_VERSION;
    Json::Value argList(Json::arrayValue);
    for (const std::string& arg : args) argList.append(arg);
    header["args"] = argList;
    writer_ = TraceWriter::create(path, header, platform::sharedClock(), error);
    if (!writer_) return false;
    recorder_ = std::make_unique<HidRecorder>(*writer_);
    hidport::setObserver(recorder_.get());
    return true;
}

int HidTraceSession::finish(const Outcome& now) {
    const int code = now.exitCode.value_or(0);
    if (writer_) {
        hidport::setObserver(nullptr);
        Json::Value said(Json::objectValue);
        if (now.title) said["title"] = *now.title;
        if (now.detail) said["detail"] = *now.detail;
        writer_->end(code, said);
    }
    if (session_) session_->finish(now);
    return code;
}

}  // namespace trace
