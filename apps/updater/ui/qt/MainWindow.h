// The updater's window in Qt: a fixed 300-pixel-wide window with the menu,
// the status canvas, the action button, the busy indicator and the log view.
// It is the core::Window port of the logic: calls from any thread run on the
// GUI thread, and a caller from another thread waits until its call is done.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <map>
#include <memory>

#include "RecoveryDialog.h"
#include "core/ProgramOptions.h"
#include "core/Window.h"
#include "core/WindowProcedure.h"
#include "core/WindowThreadCaller.h"

class QAction;
class QPlainTextEdit;
class QProgressBar;
class QSocketNotifier;
class QPushButton;
class QTimer;

namespace ui_qt {

class StatusCanvas;

class MainWindow : public QMainWindow, public core::Window, public core::WindowHost {
    Q_OBJECT
  public:
    // `lock` is released when the window is destroyed; `events` (may be
    // null) delivers the device-change events once the window is created.
    MainWindow(platform::InstanceLock* lock, platform::DeviceEvents* events);
    ~MainWindow() override;

    // The window's creation (controls exist already): device events, the
    // initial menu, the reminder timer.
    void create();
    // Shown: the start-up device change and scan.
    void afterShow();
    // After the event loop: no more calls reach the window, device events
    // stop, every worker is joined.
    void shutDown();

    bool quitRequested() const { return quitRequested_; }
    int exitCode() const { return exitCode_; }

    // --- core::Window ---------------------------------------------------------
    void showControl(core::Control control, bool show) override;
    void setButtonText(const std::string& text) override;
    void enableMenuItem(int id, bool enable) override;
    void invalidate(bool erase) override;
    void update() override;
    void repaintNow() override;
    core::BoxAnswer messageBox(const std::string& text, const std::string& caption,
                               core::BoxButtons buttons, core::BoxIcon icon) override;
    void openUrl(const std::string& url) override;
    void sendMessage(core::WindowMessage message, int param = 0) override;
    void callOnWindowThread(const std::function<void()>& fn) override;
    void destroy() override;
    void quit(int exitCode) override;
    void appendLog(const std::string& text) override;
    void startMarquee() override;
    void setProgress(int percent) override;
    bool isActive() override;

    // --- core::WindowHost -----------------------------------------------------
    void startTimer(int id, int periodMs) override;
    void killTimer(int id) override;
    void createRecoveryDialog() override;
    void destroyRecoveryDialog() override;
    bool recoveryDialogExists() const override;
    void raiseRecoveryDialog() override;
    void endProcess(int exitCode) override;

    // --- For tests and screenshots ---------------------------------------------
    core::WindowProcedure& procedure() { return procedure_; }
    StatusCanvas* canvas() const { return canvas_; }
    QPushButton* updateButton() const { return button_; }
    QProgressBar* progressBar() const { return progress_; }
    QPlainTextEdit* logView() const { return log_; }
    QAction* menuAction(int id) const;
    bool menuItemEnabled(int id) const;
    RecoveryDialog* recoveryDialog() const { return dialog_; }
    // Runs a menu command as a click on its item would.
    void chooseMenuItem(int id);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildMenu();
    void destroyWindow();
    // Runs `fn` on the GUI thread; false once the window is gone.
    bool onGuiThread(const std::function<void()>& fn);

    int wakeFd_;  // eventfd: another thread has queued work
    QSocketNotifier* wakeNotifier_ = nullptr;
    core::WindowThreadCaller caller_;
    core::WindowProcedure procedure_;
    platform::DeviceEvents* events_;
    StatusCanvas* canvas_ = nullptr;
    QPushButton* button_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QPointer<RecoveryDialog> dialog_;
    std::map<int, QAction*> actions_;
    std::map<int, bool> menuEnabled_;
    std::map<int, QTimer*> timers_;
    bool destroyed_ = false;
    bool eventsStarted_ = false;
    std::atomic<bool> quitRequested_{false};
    std::atomic<int> exitCode_{0};
};

}  // namespace ui_qt
