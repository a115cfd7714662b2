// The updater in a terminal: the same window procedure as the Qt window, with
// the status texts, the busy state and the action button printed as they
// change, message boxes asked on standard input, and the menu commands and
// the action button pressed from the command line. The calling thread is the
// window thread; other threads' calls wait for it, as in the window.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ProgramOptions.h"
#include "core/Window.h"
#include "core/WindowProcedure.h"
#include "core/WindowThreadCaller.h"

namespace ui_cli {

class CliWindow : public core::Window, public core::WindowHost {
  public:
    // `in` answers the questions; `out` gets the status; `err` the log lines
    // while the log is shown. `interrupted` (may be null) ends the run when
    // set, as Ctrl+C does. `echoInput`: answers are printed as read (input
    // that a terminal does not echo). `drawsBar`: `out` is a terminal, where a
    // measured step is a one-line bar drawn again in place; elsewhere (a pipe,
    // a file) the output stays plain lines.
    CliWindow(const core::FrontEndContext& context, std::istream& in, std::ostream& out,
              std::ostream& err, const std::atomic<bool>* interrupted = nullptr,
              bool echoInput = true, bool drawsBar = false);
    ~CliWindow() override;

    // Creates the window, runs the start-up scan and the loop until the run
    // ends, and winds down. Returns the exit code.
    int run();

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

    // --- core::WindowHost -----------------------------------------------------
    void startTimer(int id, int periodMs) override;
    void killTimer(int id) override;
    void createRecoveryDialog() override;
    void destroyRecoveryDialog() override;
    bool recoveryDialogExists() const override;
    void raiseRecoveryDialog() override;
    void endProcess(int exitCode) override;

  private:
    class Dialog;

    bool onLoop(const std::function<void()>& fn);
    void loop();
    bool runNextTask();
    bool fireDueTimers();
    bool settled();
    void decide();
    void finish(const char* why);
    void noteActivity();
    // Prints what changed: the status texts, and unless `textsOnly` the
    // warning, the busy state and the button.
    void render(bool textsOnly = false);
    void printBlock(const char* label, const std::string& text);
    void askRecoveryDialog();
    void clickDialog(int id, bool toggles);
    std::string readLine(bool* ok);
    // The bar, on its own line at the bottom: taken off before anything else
    // is printed, drawn again after the status.
    std::ostream& freshLine(std::ostream& stream);
    void clearBar();
    void drawBar();

    core::FrontEndContext context_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    const std::atomic<bool>* interrupted_;
    bool echoInput_;
    bool drawsBar_;
    int barPercent_ = -1;  // -1: no measured step
    bool barOnLine_ = false;

    core::WindowThreadCaller caller_;
    core::WindowProcedure procedure_;

    // What the window would show.
    std::map<core::Control, bool> visible_;
    std::string buttonText_ = "OK";
    std::map<int, bool> menuEnabled_;
    bool logShown_ = false;
    std::string logHistory_;
    // What has been printed.
    std::string shownTitle_, shownDetail_, shownButton_;
    bool shownBusy_ = false, shownWarning_ = false;

    std::map<int, int64_t> timers_;  // id -> due time on the clock
    std::map<int, int> timerPeriods_;
    std::unique_ptr<Dialog> dialog_;
    std::vector<std::unique_ptr<Dialog>> closedDialogs_;

    std::vector<int> pendingCommands_;
    bool updatePressed_ = false;
    bool commandFailed_ = false;
    bool offerLeft_ = false;
    bool waitingNoticeShown_ = false;
    bool stallNoticeShown_ = false;
    bool destroyed_ = false;
    bool quit_ = false;
    bool eventsStarted_ = false;
    int64_t lastActivityMs_ = 0;
    int64_t lastActivityRealMs_ = 0;
};

// --scan-once: one scan, its log, the device found and what is offered.
int runScanOnce(const core::FrontEndContext& context, std::ostream& out);

}  // namespace ui_cli
