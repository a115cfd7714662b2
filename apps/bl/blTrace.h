// --record-trace and --replay-trace of quorta-bl: every USB exchange with
// the device written to a trace, or answered from one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trace {
class HidTraceSession;
}  // namespace trace

namespace bltrace {

struct Options {
    std::optional<std::string> record;
    std::optional<std::string> replay;
    std::optional<double> timeScale;
};

bool parseTimeScale(const std::string& text, std::optional<double>* scale);

// What is wrong with the combination, or "".
// `scaledWaits`: the device is simulated or emulated, so --time-scale may
// shorten its waits.
std::string check(const Options& options, bool simulate, bool serial, bool scaledWaits);

class Session {
  public:
    Session();
    ~Session();
    bool open(const Options& options, const std::vector<std::string>& args, std::string* error);
    // Replay: the ids of the trace's first open, the device to ask for.
    bool recordedIds(uint16_t* vendorId, uint16_t* productId) const;
    // The run is over: the recording's end line, or the replay's last check
    // (which ends the program with 3 when lines were not met or the exit
    // status is not the recorded one).
    int finish(int code);

  private:
    std::unique_ptr<trace::HidTraceSession> hid_;
};

}  // namespace bltrace
