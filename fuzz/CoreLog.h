// The updater's log lines, dropped, or shown on standard error when
// QUORTA_FUZZ_LOG is set (to follow one input through the code).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/ReportCallbacks.h"

namespace fuzzing {

inline void installCoreLogView() {
    static const bool installed = [] {
        if (std::getenv("QUORTA_FUZZ_LOG")) {
            core::reportCallbacks().logLine = [](const std::string& text) {
                std::fputs(text.c_str(), stderr);
            };
        }
        return true;
    }();
    (void)installed;
}

}  // namespace fuzzing
