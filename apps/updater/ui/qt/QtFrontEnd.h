// The updater as a Qt window: single-instance check, report table, window,
// start-up scan, event loop, orderly end.
#pragma once

#include "core/ProgramOptions.h"

namespace ui_qt {

// The application's names, icon and end rule, as the program's window needs
// them on the desktop. Called once the QApplication exists.
void setUpApplication();

// Runs the program's window until it ends; returns the exit code. Creates
// the QApplication unless one exists (tests make their own).
int runQtFrontEnd(const core::FrontEndContext& context);

}  // namespace ui_qt
