// The updater in a terminal (--cli) and the one-shot scan (--scan-once).
#pragma once

#include "core/ProgramOptions.h"

namespace ui_cli {

// Runs the terminal front end on standard input and output; returns the
// exit code: 0 when the run ends with the latest software on the device.
int runCliFrontEnd(const core::FrontEndContext& context);

// Scans once and prints what was found; always 0 for a usable command line.
int runScanOnceFrontEnd(const core::FrontEndContext& context);

}  // namespace ui_cli
