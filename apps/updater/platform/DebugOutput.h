// The system's debug channel; every log line is also written here.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class DebugOutput {
  public:
    virtual ~DebugOutput() = default;
    virtual void write(std::string_view text) = 0;
};

// The log lines end in "\r\n", "\n\r" or a lone "\r"; on a terminal or in a
// text file each of these becomes one "\n".
std::string plainLineEnds(std::string_view text);

}  // namespace platform
