// The updater's log lines, dropped, or shown on standard error when
// QUORTA_FUZZ_LOG is set (to follow one input through the code).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/ReportCallbacks.h"

namespace fuzzing {

// Into the current context's report table: call it after installing one.
inline void installCoreLogView() {
    static const bool wanted = std::getenv("QUORTA_FUZZ_LOG") != nullptr;
    if (wanted) {
        core::reportCallbacks().logLine = [](const std::string& text) {
            std::fputs(text.c_str(), stderr);
        };
    }
}

}  // namespace fuzzing
