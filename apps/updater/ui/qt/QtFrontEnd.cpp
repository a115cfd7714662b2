#include "QtFrontEnd.h"

#include <QApplication>
#include <QIcon>
#include <memory>

#include "MainWindow.h"
#include "MessageBoxes.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/WindowProcedure.h"
#include "platform/InstanceLock.h"

namespace ui_qt {

void setUpApplication() {
    // Also the X11 window class, which the desktop entry's StartupWMClass names.
    QApplication::setApplicationName(QStringLiteral("quorta-updater"));
    // The desktop entry's name without ".desktop": the Wayland app id, by which
    // the desktop shows the entry's name and icon for our windows.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorta.GpsUpdater"));
    // Every window carries its whole caption. Qt appends the display name to
    // a title that does not end with it and gives an empty title the
    // application name; with the display name set but empty nothing is
    // appended, and a null title (windowCaption) reaches the desktop empty.
    QGuiApplication::setApplicationDisplayName(QString::fromUtf8(""));
    QApplication::setWindowIcon(programIcon());
    // The program's end is its own decision (the window's destruction), not
    // the closing of its last window.
    QApplication::setQuitOnLastWindowClosed(false);
}

int runQtFrontEnd(const core::FrontEndContext& context) {
    std::unique_ptr<QApplication> ownApp;
    if (!QApplication::instance()) {
        static int argc = 1;
        static char name[] = "quorta-updater";
        static char* argv[] = {name, nullptr};
        ownApp = std::make_unique<QApplication>(argc, argv);
    }
    setUpApplication();

    if (context.lock && !context.lock->acquire(context.lockName)) {
        runMessageBox(core::kAlreadyRunningText, core::kAlreadyRunningCaption, core::BoxButtons::Ok,
                      core::BoxIcon::None);
        return core::kExitOk;
    }

    core::installReportCallbacks();
    int code = core::kExitOk;
    {
        MainWindow window(context.lock, context.events);
        core::services().window = &window;
        core::startRunLog();
        window.create();
        window.show();
        window.afterShow();
        code = window.quitRequested() ? window.exitCode() : QApplication::exec();
        window.shutDown();
        core::services().window = nullptr;
    }
    if (context.lock) context.lock->release();
    return code;
}

}  // namespace ui_qt
