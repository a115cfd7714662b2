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

int runQtFrontEnd(const core::FrontEndContext& context) {
    std::unique_ptr<QApplication> ownApp;
    if (!QApplication::instance()) {
        static int argc = 1;
        static char name[] = "quorta-updater";
        static char* argv[] = {name, nullptr};
        ownApp = std::make_unique<QApplication>(argc, argv);
    }
    QApplication::setApplicationName(QStringLiteral("quorta-updater"));
    QApplication::setApplicationDisplayName(QString::fromUtf8(core::kProgramName));
    QApplication::setWindowIcon(programIcon());
    // The program's end is its own decision (the window's destruction), not
    // the closing of its last window.
    QApplication::setQuitOnLastWindowClosed(false);

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
