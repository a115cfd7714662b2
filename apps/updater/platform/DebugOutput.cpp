#include "platform/DebugOutput.h"

namespace platform {

std::string plainLineEnds(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            const bool pairedBefore = i > 0 && text[i - 1] == '\n';
            const bool pairedAfter = i + 1 < text.size() && text[i + 1] == '\n';
            if (!pairedBefore && !pairedAfter) s += '\n';
            continue;
        }
        s += c;
    }
    return s;
}

}  // namespace platform
