// The window side of the report table: status texts, the visibility of the
// action button and the progress bar, the menu, the log view, and the one
// progress that drives the bar and the write's "% done" texts.
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

// The steps of the device's work that the progress bar measures.
enum class ProgressKind { Erase, Write, Reset, Radio, Fonts, Wait };

// What the parts of a step weigh, in milliseconds of a device's time. The
// write weighs its data reports instead, the radio its own percentage.
inline constexpr uint64_t kEraseSessionWeight = 3'000;
inline constexpr uint64_t kEraseStepWeight = kEraseSessionWeight + 2'000;  // and its rest
inline constexpr uint64_t kResetSessionWeight = 1'000;
inline constexpr uint64_t kResetStepWeight = 5'000 + kResetSessionWeight + 2'000;
inline constexpr uint64_t kFontCopyWeight = 2'000;   // per pack
inline constexpr uint64_t kFontLoadWeight = 20'000;  // per pack
inline constexpr uint64_t kFontWaitsWeight = 35'000;

// The one progress of the program. A step of the device's work (erase,
// write, reset, radio, fonts, a long wait) is measured in its weighted parts;
// while it lives the progress bar shows how much of it is done, and when it
// ends the bar runs indeterminate again. Each step has a bar of its own, so
// that a write's "25% done", "50% done" and "75% done" stand beside a bar at
// 25, 50 and 75. One step owns the bar at a time: one begun while another
// runs shows nothing. The bar never goes back nor past the end, whatever is
// added. A wait on a step's thread is part of that step.
class ProgressStep {
  public:
    // `weight`: the step in all, in the units its parts are added in.
    ProgressStep(ProgressKind kind, uint64_t weight);
    ~ProgressStep();
    ProgressStep(const ProgressStep&) = delete;
    ProgressStep& operator=(const ProgressStep&) = delete;

    // This much more of the step done; at least `done` of it done.
    void add(uint64_t weight);
    void reach(uint64_t done);
    // The bootloader library's word that the device took a packet: the write
    // counts its data reports, and says "25% done", "50% done" and "75% done"
    // when a quarter, a half and three quarters of them went down.
    void packetSent(bool data);

    bool ownsBar() const { return owner_; }
    ProgressKind kind() const { return kind_; }
    // The step living on the calling thread, if any.
    static ProgressStep* current();
    // `weight` more done of the calling thread's step, when it is a `kind`.
    static void addToCurrent(ProgressKind kind, uint64_t weight);

  private:
    void show();

    ProgressKind kind_;
    uint64_t weight_;
    uint64_t done_ = 0;
    bool owner_ = false;
    int shown_ = -1;
    int quartersSaid_ = 0;
    ProgressStep* outer_;
};

// The data reports a write-memory of `imageLength` bytes sends over USB HID.
uint64_t writeDataReports(uint64_t imageLength);

// Log texts are cut to this many characters for the log view.
inline constexpr size_t kLogLineLimit = 299;

}  // namespace core
