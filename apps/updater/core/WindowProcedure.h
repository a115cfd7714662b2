// The decisions of the main window, without any toolkit: what each message,
// menu command, button click, timer and device event does. A front end (the
// Qt window, the terminal) owns the real controls and calls in here on its
// window thread; everything it shows goes out through the Window port.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "core/DeviceRecord.h"
#include "core/Window.h"
#include "platform/DeviceEvents.h"
#include "platform/InstanceLock.h"

namespace core {

// Command of the action button (its control id).
inline constexpr int kActionButtonCommand = 0;
// The one-shot backup reminder, about a second after start.
inline constexpr int kBackupReminderTimer = 6027;
inline constexpr int kBackupReminderPeriodMs = 1000;
// A recovery chosen while a worker still works on the device (the
// bootloader-mode thread retrying a GPS that left in the middle of its
// write, say) starts once that work has ended: both would need the one
// bootloader, and that work reports through the window meanwhile.
inline constexpr int kRecoveryStartTimer = 6028;
inline constexpr int kRecoveryStartPollMs = 250;

// The program's name, shown as the window caption.
inline constexpr const char* kProgramName = "Quorta GPS Firmware Programmer";
// Name of the single-instance lock.
inline constexpr const char* kInstanceLockName = "Quorta_Updater_Win";
inline constexpr const char* kAlreadyRunningText = "You already have updater running.";
inline constexpr const char* kAlreadyRunningCaption = "Quorta GPS Updater Message";

// The maker's web pages the updater offers to open: the support article on
// the radio's bonding keys, and the Japanese page on backing up the GPS.
inline constexpr const char* kBondingKeysArticleUrl =
    "https://support.quorta.com/hc/en-us/articles/bluetooth-bonding-keys";
inline constexpr const char* kBackupGuideUrl =
    "https://support.quorta.com/hc/ja/articles/gps-data-backup";

// The two questions whose Yes only opens one of those pages.
inline constexpr const char* kBackupReminderText =
    "あなたのGPSをアップデートする前に、GPSのデータバックアップすることをお勧めします。"
    "バックアップの方法を、確認しますか？";
inline constexpr const char* kBackupReminderCaption = "アップデート　アラート";
inline constexpr const char* kEraseKeysCaption = "Erase Bluetooth Encryption Keys";
inline constexpr const char* kEraseKeysQuestion =
    "Do you want to erase your bluetooth encryption keys?\n\nDo this only if the bluetooth "
    "connecton to your phone is not working.\n\n";
inline constexpr const char* kEraseKeysInstructionsQuestion =
    "Make sure to restart your GPS and reset the bluetooth connections on your phone.\n\nLoad "
    "Instructon page now?";

// The menu, in its order; a separator has id -1 and no text, a submenu
// starts with kMenuSubmenuBegin and ends with kMenuSubmenuEnd.
inline constexpr int kMenuSeparator = -1;
inline constexpr int kMenuSubmenuBegin = -2;
inline constexpr int kMenuSubmenuEnd = -3;
struct MenuEntry {
    int id;
    const char* text;  // '&' marks the mnemonic
};
inline constexpr const char* kMenuTitle = "Quorta Gps Firmware Programmer";
extern const std::array<MenuEntry, 19> kMenuLayout;
// The texts of a menu item by id, "" for an unknown one.
const char* menuItemText(int id);

// The update workflows the window hands its work to. A context starts with
// the program's own operations; tests may replace any of them.
struct Workflows {
    std::function<void()> onDevNodesChanged;
    std::function<void()> onDeviceArrival;
    std::function<void()> onDeviceRemoveComplete;
    std::function<void()> onDeviceInfoRead;
    std::function<void()> startUpdateWorkerThread;
    std::function<bool()> factoryReset;
    std::function<void()> eraseNordicKeys;
    std::function<void()> languagePackCommand;
    std::function<void(SharedDeviceRecord& record, int deviceType, int variant)>
        onEmergencyProgramFlashMode;
};
// The current context's workflows (core/Context.h).
Workflows& workflows();
// The program's own operations.
Workflows programWorkflows();

// What the window procedure needs of its front end beyond the Window port:
// the timer, the recovery dialog, and ending the process.
class WindowHost {
  public:
    virtual ~WindowHost() = default;
    virtual void startTimer(int id, int periodMs) = 0;
    virtual void killTimer(int id) = 0;
    // Creates the recovery dialog (modeless, in front of the main window),
    // shows it and gives it the keyboard focus. Its controls are set up by
    // RecoveryDialogProcedure::onInit while it is created.
    virtual void createRecoveryDialog() = 0;
    virtual void destroyRecoveryDialog() = 0;
    virtual bool recoveryDialogExists() const = 0;
    // Shows the dialog and gives it the focus again.
    virtual void raiseRecoveryDialog() = 0;
    // Ends the program at once with `exitCode`, without the window's
    // destruction (the front end still winds down in order).
    virtual void endProcess(int exitCode) = 0;
};

// The About text: the firmware versions this updater carries.
std::string aboutText();

// True while the "Do not unplug GPS" warning is drawn.
bool unplugWarningShown();
inline constexpr const char* kUnplugWarningText = "Do not unplug GPS";

class WindowProcedure {
  public:
    // `lock` (may be null) is released when the window is destroyed.
    WindowProcedure(Window& window, WindowHost& host, platform::InstanceLock* lock = nullptr);

    // The window was created: the initial menu state and the reminder timer.
    void onCreate();
    // The window is shown: the start-up device-change event, and one more
    // scan directly.
    void afterShow();
    // The window is being destroyed: release the lock, leave the loop with 0.
    void onDestroy();
    // The main window received the keyboard focus.
    void onFocus();
    void onDeviceChange(platform::DeviceEvent event);
    // Device-change events other than the three above.
    void onUnhandledDeviceChange();
    void onTimer(int id);
    // A menu command, accelerator or button click. False for an id that is
    // not the window's (left to default processing).
    bool onCommand(int id);
    // The program's own messages.
    void onMessage(WindowMessage message, int param);

  private:
    void actionButton();
    void forcedUpdate();
    void factoryResetCommand();
    void showLogCommand();
    void eraseKeysCommand();
    void forceVariant(int gcbn, const char* logText);
    void createRecoveryDialog();
    void closeRecoveryDialog();
    void startRecoveryFlash();
    void runRecoveryFlash();

    Window& window_;
    WindowHost& host_;
    platform::InstanceLock* lock_;
};

// --- The emergency recovery dialog ----------------------------------------

inline constexpr int kRecoveryOk = 1;
inline constexpr int kRecoveryCancel = 2;
inline constexpr int kRecoveryJapanese = 1060;
inline constexpr int kRecoveryEnglish = 1099;
inline constexpr int kRecoveryFirstModel = 1004;
inline constexpr int kRecoveryLastModel = 1016;
inline constexpr const char* kRecoveryDialogTitle = "Emergency Recovery Mode";
// The window's detail text once the recovery dialog was cancelled and nothing
// is being written: the GPS stays where it is until the dialog comes back.
inline constexpr const char* kStillInRomBootloaderDetail =
    "The GPS is still in its ROM bootloader.\nTo recover it, unplug it and plug it in again, "
    "then choose its model.";
inline constexpr int kRecoveryDialogWidthDu = 177;
inline constexpr int kRecoveryDialogHeightDu = 213;

enum class DialogControlKind { DefaultButton, Button, Label, CheckBox };
struct DialogControl {
    int id;  // 0 for the label
    DialogControlKind kind;
    const char* text;
    int left, top, width, height;  // dialog units
};
// The dialog's controls in its own (tab) order.
extern const std::array<DialogControl, 18> kRecoveryDialogControls;

// The dialog's check boxes as the procedure sees them.
class RecoveryDialogControls {
  public:
    virtual ~RecoveryDialogControls() = default;
    virtual bool isChecked(int id) const = 0;
    virtual void setChecked(int id, bool checked) = 0;
};

// The recovery dialog's procedure: thirteen model boxes and two language
// boxes that behave like two groups of radio buttons, OK and Cancel.
class RecoveryDialogProcedure {
  public:
    RecoveryDialogProcedure(Window& mainWindow, RecoveryDialogControls& controls);
    void onInit();
    // The dialog's close box.
    void onClose();
    // A control was clicked (an automatic check box has already toggled).
    void onCommand(int id, int notificationCode = 0);

  private:
    void setOnlyChecked(int first, int last, int id);
    // Cancel or the close box: the user chose no model.
    void cancelled();

    Window& window_;
    RecoveryDialogControls& controls_;
};

}  // namespace core
