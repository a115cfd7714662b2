#include "MainWindow.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "MessageBoxes.h"
#include "RecoveryDialog.h"
#include "StatusCanvas.h"
#include "core/PowerGuard.h"
#include "core/Services.h"
#include "core/WorkerThreads.h"
#include "platform/DeviceEvents.h"

namespace ui_qt {

namespace {

constexpr int kClientWidth = 300;
constexpr int kClientHeight = 500;  // the menu bar comes out of this

}  // namespace

MainWindow::MainWindow(platform::InstanceLock* lock, platform::DeviceEvents* events)
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      caller_([this] {
          // Only a wake-up crosses threads; the work itself waits in the
          // caller's queue.
          const uint64_t one = 1;
          if (::write(wakeFd_, &one, sizeof one) < 0) {
              // The counter is full: a wake-up is pending anyway.
          }
      }),
      procedure_(*this, *this, lock),
      events_(events) {
    if (wakeFd_ < 0) throw std::runtime_error("cannot make the window's wake-up event");
    wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] {
        uint64_t count = 0;
        if (::read(wakeFd_, &count, sizeof count) < 0) {
            // Nothing to read: another turn already took the wake-up.
        }
        caller_.runPending();
    });
    setWindowTitle(windowCaption(core::kProgramName));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    buildMenu();

    canvas_ = new StatusCanvas(this);
    setCentralWidget(canvas_);
    setFixedSize(kClientWidth, kClientHeight);
    move(200, 200);

    progress_ = new QProgressBar(canvas_);
    progress_->setGeometry(52, 300, 194, 30);
    progress_->setRange(0, 0);  // indeterminate between measured steps
    progress_->setTextVisible(false);
    progress_->hide();

    button_ = new QPushButton(QStringLiteral("OK"), canvas_);
    button_->setGeometry(52, 340, 194, 30);
    button_->setDefault(true);
    button_->setAutoDefault(true);
    button_->hide();
    connect(button_, &QPushButton::clicked, this,
            [this] { procedure_.onCommand(core::kActionButtonCommand); });

    log_ = new QPlainTextEdit(canvas_);
    log_->setGeometry(20, 60, 250, 230);
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log_->hide();

    // Alt+"?" and Alt+"/" open the About box from anywhere in the window.
    for (QKeySequence keys : {QKeySequence(Qt::ALT | Qt::Key_Question),
                              QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Question),
                              QKeySequence(Qt::ALT | Qt::Key_Slash)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this,
                [this] { procedure_.onCommand(core::kMenuAbout); });
    }
}

MainWindow::~MainWindow() {
    // Nothing may wait on a window that is going away.
    caller_.close();
    if (events_ && eventsStarted_) events_->stop();
    delete wakeNotifier_;
    ::close(wakeFd_);
}

void MainWindow::buildMenu() {
    QMenu* menu = menuBar()->addMenu(QString::fromUtf8(core::kMenuTitle));
    QMenu* current = menu;
    for (const core::MenuEntry& entry : core::kMenuLayout) {
        switch (entry.id) {
            case core::kMenuSeparator:
                current->addSeparator();
                break;
            case core::kMenuSubmenuBegin:
                current = menu->addMenu(QString::fromUtf8(entry.text));
                // The Advanced menu draws some separators twice, as a wider
                // gap between its groups; Qt would show one of each pair.
                current->setSeparatorsCollapsible(false);
                break;
            case core::kMenuSubmenuEnd:
                current = menu;
                break;
            default: {
                QAction* action = current->addAction(QString::fromUtf8(entry.text));
                const int id = entry.id;
                actions_[id] = action;
                menuEnabled_[id] = true;
                connect(action, &QAction::triggered, this, [this, id] { chooseMenuItem(id); });
                break;
            }
        }
    }
}

void MainWindow::chooseMenuItem(int id) {
    // A disabled item looks like any other but does nothing.
    if (!menuItemEnabled(id)) return;
    procedure_.onCommand(id);
}

QAction* MainWindow::menuAction(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

bool MainWindow::menuItemEnabled(int id) const {
    auto it = menuEnabled_.find(id);
    return it != menuEnabled_.end() && it->second;
}

void MainWindow::create() {
    if (events_) {
        eventsStarted_ = events_->start([this](platform::DeviceEvent event) {
            // From the source's thread onto the window's, without waiting.
            caller_.post([this, event] {
                if (!destroyed_) procedure_.onDeviceChange(event);
            });
        });
    }
    procedure_.onCreate();
}

void MainWindow::afterShow() {
    procedure_.afterShow();
}

void MainWindow::shutDown() {
    caller_.close();
    for (auto& [id, timer] : timers_) timer->stop();
    if (events_ && eventsStarted_) {
        events_->stop();
        eventsStarted_ = false;
    }
    // Workers finish what they do without the window (their calls to it
    // return at once) and are joined here; the keep-awake lock does not
    // wait out its linger.
    core::setPowerLingerMs(0);
    if (core::runningWorkerThreads() > 0) {
        // The window is gone but the device may be in the middle of a write:
        // say why the program has not ended yet.
        std::fputs("quorta-updater: waiting for the device work in progress to finish\n", stderr);
    }
    core::joinWorkerThreads();
}

bool MainWindow::onGuiThread(const std::function<void()>& fn) {
    return caller_.call(fn);
}

// --- core::Window ---------------------------------------------------------------

void MainWindow::showControl(core::Control control, bool show) {
    onGuiThread([&] {
        QWidget* widget = nullptr;
        switch (control) {
            case core::Control::UpdateButton:
                widget = button_;
                break;
            case core::Control::ProgressBar:
                widget = progress_;
                break;
            case core::Control::LogView:
                widget = log_;
                break;
        }
        widget->setVisible(show);
        if (show && control == core::Control::LogView) {
            log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
        }
    });
}

void MainWindow::setButtonText(const std::string& text) {
    onGuiThread([&] { button_->setText(displayText(text)); });
}

void MainWindow::enableMenuItem(int id, bool enable) {
    onGuiThread([&] { menuEnabled_[id] = enable; });
}

void MainWindow::invalidate(bool) {
    // The canvas paints its whole area every time: erasing first or not
    // looks the same.
    onGuiThread([&] { canvas_->invalidate(); });
}

void MainWindow::update() {
    onGuiThread([&] { canvas_->paintIfMarked(); });
}

void MainWindow::repaintNow() {
    onGuiThread([&] {
        canvas_->invalidate();
        canvas_->paintIfMarked();
    });
}

core::BoxAnswer MainWindow::messageBox(const std::string& text, const std::string& caption,
                                       core::BoxButtons buttons, core::BoxIcon icon) {
    core::BoxAnswer answer = core::unansweredBox(buttons);
    const bool shown = onGuiThread([&] { answer = runMessageBox(text, caption, buttons, icon); });
    if (!shown) {
        // The window has closed: nobody can answer; say what it was.
        std::fprintf(stderr, "quorta-updater: %s: %s\n", caption.c_str(), text.c_str());
    }
    return answer;
}

void MainWindow::openUrl(const std::string& url) {
    onGuiThread([&] { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); });
}

void MainWindow::sendMessage(core::WindowMessage message, int param) {
    onGuiThread([&] {
        if (!destroyed_) procedure_.onMessage(message, param);
    });
}

void MainWindow::callOnWindowThread(const std::function<void()>& fn) {
    onGuiThread(fn);
}

void MainWindow::destroy() {
    onGuiThread([&] { destroyWindow(); });
}

void MainWindow::destroyWindow() {
    if (destroyed_) return;
    destroyed_ = true;
    for (auto& [id, timer] : timers_) timer->stop();
    if (dialog_) destroyRecoveryDialog();
    hide();
    procedure_.onDestroy();
}

void MainWindow::quit(int exitCode) {
    exitCode_ = exitCode;
    quitRequested_ = true;
    onGuiThread([&] { QCoreApplication::exit(exitCode); });
}

void MainWindow::appendLog(const std::string& text) {
    onGuiThread([&] {
        QTextCursor cursor(log_->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(displayText(text));
        if (log_->isVisible()) {
            log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
        }
    });
}

void MainWindow::startMarquee() {
    onGuiThread([&] { progress_->setRange(0, 0); });
}

void MainWindow::setProgress(int percent) {
    onGuiThread([&] {
        progress_->setRange(0, 100);
        progress_->setValue(std::clamp(percent, 0, 100));
    });
}

bool MainWindow::isActive() {
    // A window that has gone (or is going) counts as in front: nobody is to
    // be called back to it.
    bool active = true;
    onGuiThread([&] { active = isActiveWindow(); });
    return active;
}

// --- core::WindowHost -----------------------------------------------------------

void MainWindow::startTimer(int id, int periodMs) {
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] { procedure_.onTimer(id); });
    }
    // On the program's clock, like every other wait.
    const auto real = core::clock().realDuration(periodMs);
    timer->start(std::max<int>(1, static_cast<int>(real.count() / 1000)));
}

void MainWindow::killTimer(int id) {
    if (auto it = timers_.find(id); it != timers_.end()) it->second->stop();
}

void MainWindow::createRecoveryDialog() {
    if (dialog_) return;
    dialog_ = new RecoveryDialog(this, *this);
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
    dialog_->setFocus();
}

void MainWindow::destroyRecoveryDialog() {
    if (!dialog_) return;
    RecoveryDialog* dialog = dialog_;
    dialog_ = nullptr;
    // Possibly from inside one of the dialog's own handlers: deleted once
    // they have returned.
    dialog->hide();
    dialog->deleteLater();
}

bool MainWindow::recoveryDialogExists() const {
    return !dialog_.isNull();
}

void MainWindow::raiseRecoveryDialog() {
    if (!dialog_) return;
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void MainWindow::endProcess(int exitCode) {
    if (!destroyed_) {
        destroyed_ = true;
        for (auto& [id, timer] : timers_) timer->stop();
        if (dialog_) destroyRecoveryDialog();
        hide();
    }
    quit(exitCode);
}

// --- Events -------------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
    destroyWindow();
    event->accept();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !destroyed_) {
        procedure_.onFocus();
    }
}

}  // namespace ui_qt
