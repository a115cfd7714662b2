// This run's log on Linux: one file per run in
// ${XDG_STATE_HOME:-~/.local/state}/quorta-updater/, named by the local date
// and time it started (2026-03-14_09-26-53.log; a second run in the same
// second gets 2026-03-14_09-26-53_02.log), mode 0600 in a folder of mode 0700.
// The newest kKeptRunLogs are kept; starting a run removes the older ones.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/RunLog.h"
#include "platform/linux/TextOutput.h"

namespace platform {

inline constexpr size_t kKeptRunLogs = 20;

class XdgRunLog : public RunLog {
  public:
    using Now = std::function<std::time_t()>;

    // `folder` empty: the one under the XDG state folder of the environment.
    explicit XdgRunLog(
        std::string folder = {}, size_t keep = kKeptRunLogs,
        Now now = [] { return std::time(nullptr); });

    // Refuses a folder that is a symbolic link, belongs to another user, is
    // open to others or cannot be written.
    bool start(std::string& problem) override;
    void write(std::string_view text) override;

    // The file of this run; empty before a successful start().
    const std::string& path() const { return path_; }

  private:
    std::string folder_;
    size_t keep_;
    Now now_;
    std::string path_;
    LogFile file_;
};

// True for the names this log gives its files; nothing else in the folder is
// ever removed.
bool isRunLogName(std::string_view name);

}  // namespace platform
