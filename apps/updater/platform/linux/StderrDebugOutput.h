// The debug channel on Linux: standard error.
#pragma once

#include <mutex>

#include "platform/DebugOutput.h"

namespace platform {

class StderrDebugOutput : public DebugOutput {
  public:
    // Writes `text` as it is, without its carriage returns (the log lines end
    // in "\r\n" or "\n\r"), in one piece even when threads write at once.
    void write(std::string_view text) override;

  private:
    std::mutex mutex_;
};

}  // namespace platform
