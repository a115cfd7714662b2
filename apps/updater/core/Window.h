// The UI port: everything the updater's logic asks of its window. The Qt
// window and the terminal front end implement it; tests use a recording one.
//
// Calls may come from any thread. An implementation carries out the control
// operations on its window thread; callOnWindowThread and sendMessage run
// there and return only when done (run directly when already on it), the way
// a synchronous window message does.
#pragma once

#include <functional>
#include <string>

namespace core {

enum class Control { UpdateButton, ProgressBar, LogView };

// Menu item ids.
enum MenuItem : int {
    kMenuAbout = 104,
    kMenuExit = 105,
    kMenuFactoryReset = 32771,   // "Restore device to factory defaults"
    kMenuShowLog = 32772,        // "Show log"
    kMenuForceUpdate = 32778,    // "Force update"
    kMenuEraseKeys = 32779,      // "Erase Encryption Key Storage"
    kMenuLanguagePacks = 32780,  // "LOAD Language Packs"
    kMenuLoadJapan = 32781,      // "LOAD JAPAN FIRMWARE NOW"
    kMenuLoadStandard = 32782,   // "LOAD STANDARD FIRMWARE NOW"
};

// The program's own window messages.
enum class WindowMessage : int {
    CreateRecoveryModeDlg = 6024,
    CloseRecoveryModeDlg = 6025,
    StartRecoveryFlash = 6026,
    OnDeviceInfoRead = 32869,
};

enum class BoxButtons { Ok, OkCancel, YesNo };
enum class BoxIcon { None, Question, Warning };
enum class BoxAnswer : int { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

// The answer that changes nothing: what a box gets when nobody can answer it
// (the window has gone, standard input has ended).
constexpr BoxAnswer unansweredBox(BoxButtons buttons) {
    switch (buttons) {
        case BoxButtons::Ok:
            return BoxAnswer::Ok;
        case BoxButtons::OkCancel:
            return BoxAnswer::Cancel;
        case BoxButtons::YesNo:
            return BoxAnswer::No;
    }
    return BoxAnswer::Cancel;
}

class Window {
  public:
    virtual ~Window() = default;

    // Show or hide the action button, the progress bar or the log view.
    virtual void showControl(Control control, bool show) = 0;
    virtual void setButtonText(const std::string& text) = 0;
    virtual void enableMenuItem(int id, bool enable) = 0;

    // Mark the whole client area for repainting (erasing the background
    // first when asked), paint what is marked at once, or both together.
    virtual void invalidate(bool erase) = 0;
    virtual void update() = 0;
    virtual void repaintNow() = 0;

    // A modal question with the exact text and caption; blocks the calling
    // thread until answered.
    virtual BoxAnswer messageBox(const std::string& text, const std::string& caption,
                                 BoxButtons buttons, BoxIcon icon) = 0;
    virtual void openUrl(const std::string& url) = 0;

    // A synchronous message to the window procedure.
    virtual void sendMessage(WindowMessage message, int param = 0) = 0;
    // Runs `fn` on the window thread and waits for it.
    virtual void callOnWindowThread(const std::function<void()>& fn) = 0;

    // Destroy the main window (the program's orderly end), or leave the
    // message loop with an exit code.
    virtual void destroy() = 0;
    virtual void quit(int exitCode) = 0;

    // Append to the log view at its end; no line break is added.
    virtual void appendLog(const std::string& text) = 0;
    // Start the progress bar's indeterminate animation.
    virtual void startMarquee() = 0;
    // Show a measured step on the progress bar: `percent` (0..100) of it done.
    // startMarquee goes back to the indeterminate animation.
    virtual void setProgress(int percent) = 0;

    // Whether the window is the one the user has in front. True where that
    // cannot be told.
    virtual bool isActive() { return true; }
};

}  // namespace core
