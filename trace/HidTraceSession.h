// The trace of one program's run at the HID seam, for both programs: a
// recorder watching hidport, or a replay standing in for it; and the run's
// ending, written or compared.
#pragma once

#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

#include "TraceFile.h"

namespace trace {

class HidRecorder;
class HidReplay;
class ReplaySession;
class TraceWriter;

class HidTraceSession {
  public:
    explicit HidTraceSession(std::string program);
    ~HidTraceSession();  // stops watching hidport and leaves it to the real backend
    HidTraceSession(const HidTraceSession&) = delete;
    HidTraceSession& operator=(const HidTraceSession&) = delete;

    // Replays the trace at `path` in place of hidport's devices. False, with
    // `error`, when the file cannot be read.
    bool replay(const std::string& path, std::string* error);
    // Records to `path`; its first line holds `header` (what the program
    // says of itself) with the program's name, version and `args`. False,
    // with `error`, when the file cannot be written.
    bool record(const std::string& path, const std::vector<std::string>& args, Json::Value header,
                std::string* error);

    ReplaySession* replaying() const { return session_.get(); }
    TraceWriter* recording() const { return writer_.get(); }

    // The run is over with `now`: the recording gets its end line; a
    // replay checks that every line was met and that the run ended as the
    // trace says (and ends the program with 3 when not). The exit status.
    int finish(const Outcome& now);

  private:
    std::string program_;
    std::unique_ptr<TraceWriter> writer_;
    std::unique_ptr<HidRecorder> recorder_;
    std::unique_ptr<ReplaySession> session_;
    std::unique_ptr<HidReplay> replay_;
};

}  // namespace trace
