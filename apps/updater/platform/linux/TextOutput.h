// Where log lines go on Linux: standard error (the debug channel) and the
// file named with --log-file.
#pragma once

#include <mutex>
#include <string>

#include "platform/DebugOutput.h"

namespace platform {

// Writes text to a file descriptor with plain line ends (see plainLineEnds),
// each call in one piece even when threads write at once.
class FdTextOutput : public DebugOutput {
  public:
    void write(std::string_view text) override;

  protected:
    explicit FdTextOutput(int fd) : fd_(fd) {}
    // Writes go to `fd` from now on; the descriptor written to so far is
    // closed (only for outputs that own theirs).
    void replaceFd(int fd);
    int fd_;

  private:
    std::mutex mutex_;
};

class StderrDebugOutput : public FdTextOutput {
  public:
    StderrDebugOutput();
};

// The support log: every log line of this run, appended to PATH (created
// private to the user; an existing file is never cut short).
class LogFile : public FdTextOutput {
  public:
    LogFile() : FdTextOutput(-1) {}
    ~LogFile() override;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // False, with a message naming the path and the reason, when it cannot
    // be opened for writing.
    bool open(const std::string& path, std::string* error);
    // Writes to `fd` from now on, and closes it in the end.
    void adopt(int fd);
};

}  // namespace platform
