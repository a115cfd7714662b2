// The system's debug channel; every log line is also written here.
#pragma once

#include <string_view>

namespace platform {

class DebugOutput {
public:
    virtual ~DebugOutput() = default;
    virtual void write(std::string_view text) = 0;
};

}  // namespace platform
