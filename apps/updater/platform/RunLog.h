// The log of this run kept for support: every run of the window or of the
// terminal writes its log lines to a file of its own, whether or not the user
// thought of --log-file beforehand.
#pragma once

#include <string>

#include "platform/DebugOutput.h"

namespace platform {

class RunLog : public DebugOutput {
  public:
    // Opens this run's file. False, with one sentence for the log in
    // `problem`, when no log can be kept; the program goes on without it and
    // write() drops the lines.
    virtual bool start(std::string& problem) = 0;
};

}  // namespace platform
