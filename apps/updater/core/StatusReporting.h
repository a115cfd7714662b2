// The window side of the report table: status texts, the visibility of the
// action button and the progress bar, the menu, the log view, and the
// progress texts counted from the bootloader library's log.
#pragma once

#include <cstdint>
#include <string>

namespace core {

class Window;

// Fills the report table in start-up order: reportStatus first (which sets
// the title "Please connect your\nQuorta GPS Device"), then logLine, then
// waitSeconds.
void installReportCallbacks();

// Slot 1's implementation.
void reportStatus(int isComplete, const char* title, const char* detail);

// Slot 0's implementation: the first 299 characters of the line go to the
// debug output, the log files and, once the window exists, to the end of its
// log view.
void windowLogLine(const std::string& text);

// Opens this run's own log (Services::runLog), once the window exists; a log
// that cannot be kept is said once in the log, and the program goes on.
void startRunLog();

// Slot 2's implementation: n seconds on the clock.
void sleepSeconds(int seconds);

// Sets the controls and the menu from the shared state.
void refreshControls(Window& window);
// The same on the program's window; nothing while there is none.
void refreshControls();

// The sink of the bootloader library's logger (bootloader::FileLogger::setSink):
// counts every message and turns the count into "25% done", "50% done" and
// "75% done" while the first firmware is written.
void progressLogSink(const char* text);

// A measured step on the progress bar: while one lives, the bar shows how
// much of it is done; when it ends the bar runs indeterminate again. One step
// at a time owns the bar: a step begun while another runs (on another thread)
// shows nothing. What it shows never goes backwards nor past the end, whatever
// `done` and `total` say.
class MeasuredStep {
  public:
    MeasuredStep();
    ~MeasuredStep();
    MeasuredStep(const MeasuredStep&) = delete;
    MeasuredStep& operator=(const MeasuredStep&) = delete;

    void advance(uint64_t done, uint64_t total);
    bool ownsBar() const { return owner_; }

  private:
    bool owner_ = false;
    int shown_ = -1;
};

// Counts the reports the firmware write sends, as the bootloader library's
// trace shows them, on the thread that writes, while it lives.
class WriteProgress {
  public:
    // `reportsInAll`: the command report and every data report of the write.
    explicit WriteProgress(uint64_t reportsInAll);
    ~WriteProgress();
    WriteProgress(const WriteProgress&) = delete;
    WriteProgress& operator=(const WriteProgress&) = delete;

    void reportSent();

  private:
    MeasuredStep step_;
    uint64_t sent_ = 0;
    uint64_t inAll_;
    WriteProgress* outer_;
};

// The reports a write-memory of `imageLength` bytes sends over USB HID.
uint64_t writeReportsInAll(uint64_t imageLength);

// Log texts are cut to this many characters for the log view.
inline constexpr size_t kLogLineLimit = 299;

}  // namespace core
