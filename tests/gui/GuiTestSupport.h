// The Qt window under test: one QApplication for the suite, a fresh context
// per test, and a script that answers message boxes as they open.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "core/Services.h"
#include "core/WindowProcedure.h"
#include "core/WorkerThreads.h"

namespace gui_testing {

inline QApplication& app() {
    static int argc = 1;
    static char name[] = "test_gui";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = [] {
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *instance;
}

// Processes events until `done` holds or `ms` have passed.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

struct SeenBox {
    std::string text;
    std::string caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QStringList fontFamilies;
};

// Answers every box that opens: by caption when a rule names it, else with
// `fallback`. Records each box.
class BoxScript : public QObject {
  public:
    BoxScript() {
        app();
        timer_.setInterval(2);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
    }
    void answer(const std::string& caption, QMessageBox::StandardButton button) {
        rules_[caption].push_back(button);
    }
    std::vector<SeenBox> seen;
    QMessageBox::StandardButton fallback = QMessageBox::No;
    // Called with each box as it is seen, before it is answered.
    std::function<void(QMessageBox*)> onShown;

    std::vector<std::string> captions() const {
        std::vector<std::string> c;
        for (const SeenBox& b : seen) c.push_back(b.caption);
        return c;
    }

  private:
    void tick() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            // Marked on the box itself: a new box may reuse a freed address.
            if (!box || !box->isVisible() || box->property("answeredByScript").toBool()) continue;
            box->setProperty("answeredByScript", true);
            SeenBox s;
            s.text = box->property(ui_qt::kBoxTextProperty).toString().toStdString();
            s.caption = box->windowTitle().toStdString();
            s.icon = box->icon();
            s.buttons = box->standardButtons();
            s.fontFamilies = box->font().families();
            seen.push_back(s);
            if (onShown) onShown(box);
            QMessageBox::StandardButton button = fallback;
            auto it = rules_.find(s.caption);
            if (it != rules_.end() && !it->second.empty()) {
                button = it->second.front();
                it->second.erase(it->second.begin());
            }
            if (!(s.buttons & button)) button = box->standardButton(box->escapeButton());
            // Clicked from outside this timer's handler, as a user would.
            QPointer<QMessageBox> target(box);
            QTimer::singleShot(0, [target, button] {
                if (target) target->button(button)->click();
            });
            return;
        }
    }
    QTimer timer_{(app(), nullptr)};
    std::map<std::string, std::vector<QMessageBox::StandardButton>> rules_;
};

class GuiTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        app();
        CoreTest::SetUp();
        core::installReportCallbacks();
        // The log reaches the window; the test still sees every line.
        auto windowLog = core::reportCallbacks().logLine;
        core::reportCallbacks().logLine = [this, windowLog](const std::string& line) {
            {
                std::lock_guard lock(logMutex);
                log.push_back(line);
            }
            windowLog(line);
        };
    }
    void TearDown() override {
        core::joinWorkerThreads();
        // A quit asked for outside the main loop would end every later
        // loop at once; one turn of the main loop clears it.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QApplication::exec();
    }
    // Waits until the start-up reminder has been shown and answered.
    bool reminderAnswered() {
        return waitFor(
            [&] { return !boxes.seen.empty() && QApplication::activeModalWidget() == nullptr; });
    }
    BoxScript boxes;
};

// A main window of its own per test, as the services' window; shut down
// before the context it reports to goes.
class WindowTest : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        window = std::make_unique<ui_qt::MainWindow>(nullptr, nullptr);
        services.window = window.get();
        applyServices();
    }
    void TearDown() override {
        window->shutDown();
        core::setServices(core::Services{});
        window.reset();
        GuiTest::TearDown();
    }
    // Shown as the program's start-up shows it.
    void start() {
        window->create();
        window->show();
        window->afterShow();
    }
    std::unique_ptr<ui_qt::MainWindow> window;
};

}  // namespace gui_testing
