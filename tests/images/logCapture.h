#pragma once

#include <string>
#include <vector>

#include "core/images/imageDecode.h"

// Collects the lines an image operation logs.
struct LogCapture {
    std::vector<std::string> lines;
    images::LogLine sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};
