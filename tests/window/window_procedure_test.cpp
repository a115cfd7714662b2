#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "WindowTestSupport.h"
#include "core/TestImages.h"
#include "core/WindowProcedure.h"
#include "core/WorkerThreads.h"
#include "platform/InstanceLock.h"

namespace {

using core::BoxAnswer;
using core::BoxButtons;
using core::BoxIcon;
using core::Control;
using testing_support::RecordingHost;
using testing_support::ScriptedWindow;

class FakeLock : public platform::InstanceLock {
  public:
    bool acquire(const std::string&) override { return true; }
    void release() override { ++releases; }
    int releases = 0;
};

class WindowProcedureTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        showStatusOn(window);
        core::workflows().startUpdateWorkerThread = [this] { ++workerStarts; };
    }
    void TearDown() override { core::joinWorkerThreads(); }

    // The connected device as readDevice leaves it.
    void connect(const std::string& label, int dlv = core::kJapaneseVariant) {
        core::DeviceRecord r;
        r.dlv = dlv;
        r.updateLabel = label;
        r.promptText = "Please do not unplug your device.  This will take a few minutes.";
        core::deviceRecord().store(r);
        core::reportCallbacks().currentDevice = &core::deviceRecord();
    }
    bool called(const std::string& call) {
        return std::count(window.calls.begin(), window.calls.end(), call) > 0;
    }

    ScriptedWindow window;
    RecordingHost host;
    FakeLock lock;
    core::WindowProcedure procedure{window, host, &lock};
    int workerStarts = 0;
};

TEST_F(WindowProcedureTest, CreationDisablesTheDeviceCommandsAndStartsTheReminder) {
    procedure.onCreate();
    for (int id : {core::kMenuFactoryReset, core::kMenuLanguagePacks, core::kMenuLoadStandard,
                   core::kMenuLoadJapan, core::kMenuForceUpdate}) {
        EXPECT_FALSE(window.menuEnabled.at(id)) << id;
    }
    // Erase Encryption Key Storage waits for the first refresh.
    EXPECT_EQ(window.menuEnabled.count(core::kMenuEraseKeys), 0u);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"timer 6027 1000"}));
}

TEST_F(WindowProcedureTest, BackupReminderOnItsOwnTimerOnly) {
    procedure.onTimer(1);
    EXPECT_TRUE(window.boxes.empty());

    window.answers = {BoxAnswer::No};
    procedure.onTimer(core::kBackupReminderTimer);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text,
              "あなたのGPSをアップデートする前に、GPSのデータバックアップすることをお勧めします。"
              "バックアップの方法を、確認しますか？");
    EXPECT_EQ(window.boxes[0].caption, "アップデート\u3000アラート");
    EXPECT_EQ(window.boxes[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(window.boxes[0].icon, BoxIcon::Warning);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"kill 6027"}));
    EXPECT_FALSE(called(std::string("url ") + core::kBackupGuideUrl));

    window.answers = {BoxAnswer::Yes};
    procedure.onTimer(core::kBackupReminderTimer);
    EXPECT_TRUE(called(std::string("url ") + core::kBackupGuideUrl));

    // While the held backup's question is open the reminder waits for the
    // timer's next round instead of opening on top of it.
    host.calls.clear();
    core::state().startUpQuestionOpen = true;
    procedure.onTimer(core::kBackupReminderTimer);
    EXPECT_EQ(window.boxes.size(), 2u);
    EXPECT_TRUE(host.calls.empty());
    core::state().startUpQuestionOpen = false;
}

TEST_F(WindowProcedureTest, ActionButtonConfirmsAnUpdateOrEndsTheProgram) {
    connect("Update to 14.51");
    window.answers = {BoxAnswer::Cancel};
    procedure.onCommand(core::kActionButtonCommand);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text,
              "Please do not unplug your device.  This will take a few minutes.");
    EXPECT_EQ(window.boxes[0].caption, "");
    EXPECT_EQ(window.boxes[0].buttons, BoxButtons::OkCancel);
    EXPECT_EQ(window.boxes[0].icon, BoxIcon::Question);
    EXPECT_EQ(workerStarts, 0);
    EXPECT_FALSE(core::state().reverseUpgrade);
    EXPECT_FALSE(called("quit 0"));

    window.answers = {BoxAnswer::Ok};
    procedure.onCommand(core::kActionButtonCommand);
    EXPECT_EQ(workerStarts, 1);
    EXPECT_EQ(core::state().gcbn, 60);
    EXPECT_TRUE(core::state().reverseUpgrade);
    EXPECT_TRUE(logged(" Regular -=FORCE REVERSE UPGRADE=- "));

    // A standard device is updated with the standard variant.
    connect("Update", 0);
    window.answers = {BoxAnswer::Ok};
    procedure.onCommand(core::kActionButtonCommand);
    EXPECT_EQ(core::state().gcbn, 0);
    EXPECT_EQ(workerStarts, 2);

    // "OK", or anything that is not an update label, ends the program.
    for (const char* label : {"", "Updat", "OK", "update to 1.2"}) {
        window.calls.clear();
        connect(label);
        procedure.onCommand(core::kActionButtonCommand);
        EXPECT_TRUE(called("quit 0")) << label;
    }
    EXPECT_EQ(window.boxes.size(), 3u);

    core::state().keysErased = true;
    connect("Update to 14.51");
    procedure.onCommand(core::kActionButtonCommand);
    EXPECT_EQ(host.calls.back(), "end 0");
    EXPECT_EQ(window.boxes.size(), 3u);
}

TEST_F(WindowProcedureTest, FactoryResetAskedSentOrFailed) {
    int resets = 0;
    bool result = true;
    core::workflows().factoryReset = [&] {
        ++resets;
        EXPECT_TRUE(core::state().factoryResetPending);
        return result;
    };
    window.answers = {BoxAnswer::No};
    procedure.onCommand(core::kMenuFactoryReset);
    EXPECT_EQ(resets, 0);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Do you want to restore factory defaults?");
    EXPECT_EQ(window.boxes[0].caption, "FACTORY RESET");
    EXPECT_EQ(window.boxes[0].buttons, BoxButtons::YesNo);

    window.answers = {BoxAnswer::Yes, BoxAnswer::Ok};
    procedure.onCommand(core::kMenuFactoryReset);
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(window.boxes[2].text,
              "Sending Factory Reset. This will take a while so do not unplug device");
    EXPECT_EQ(window.boxes[2].caption, "Factory Reset");
    EXPECT_EQ(window.boxes[2].buttons, BoxButtons::Ok);
    EXPECT_FALSE(window.menuEnabled.at(core::kMenuFactoryReset));
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_TRUE(window.isVisible(Control::ProgressBar));
    // The device restarts; its arrival finishes the command.
    EXPECT_TRUE(core::state().factoryResetPending);

    result = false;
    core::state().updateInProgress = true;
    core::state().languagePackBusy = true;
    window.answers = {BoxAnswer::Yes, BoxAnswer::Ok, BoxAnswer::Ok};
    procedure.onCommand(core::kMenuFactoryReset);
    ASSERT_EQ(window.boxes.size(), 6u);
    EXPECT_EQ(window.boxes[5].text,
              "Please make sure device is plugged in. Unplug and reconnect if already plugged.");
    EXPECT_EQ(window.boxes[5].caption, "Factory Reset Failed");
    EXPECT_FALSE(core::state().factoryResetPending);
    EXPECT_FALSE(core::state().updateInProgress);
    EXPECT_FALSE(core::state().languagePackBusy);
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_EQ(window.calls.back(), "update");
}

TEST_F(WindowProcedureTest, ShowLogToggles) {
    EXPECT_TRUE(core::state().logHidden);
    procedure.onCommand(core::kMenuShowLog);
    EXPECT_FALSE(core::state().logHidden);
    EXPECT_TRUE(window.isVisible(Control::LogView));
    procedure.onCommand(core::kMenuShowLog);
    EXPECT_TRUE(core::state().logHidden);
    EXPECT_FALSE(window.isVisible(Control::LogView));
}

TEST_F(WindowProcedureTest, EraseKeysThenKeepTheProgramOpen) {
    std::atomic<int> erased{0};
    std::thread::id eraser;
    core::workflows().eraseNordicKeys = [&] {
        eraser = std::this_thread::get_id();
        ++erased;
    };
    window.answers = {BoxAnswer::No};
    procedure.onCommand(core::kMenuEraseKeys);
    EXPECT_FALSE(core::state().keysErased);
    EXPECT_EQ(window.boxes[0].text,
              "Do you want to erase your bluetooth encryption keys?\n\nDo this only if the "
              "bluetooth connecton to your phone is not working.\n\n");
    EXPECT_EQ(window.boxes[0].caption, "Erase Bluetooth Encryption Keys");

    const int64_t before = clock.totalSleptMs();
    window.answers = {BoxAnswer::Yes, BoxAnswer::No};
    procedure.onCommand(core::kMenuEraseKeys);
    core::joinWorkerThreads();
    EXPECT_EQ(erased, 1);
    EXPECT_NE(eraser, std::this_thread::get_id());
    EXPECT_EQ(clock.totalSleptMs() - before, 6000);
    EXPECT_EQ(window.boxes[2].text,
              "Make sure to restart your GPS and reset the bluetooth connections on your "
              "phone.\n\nLoad Instructon page now?");
    EXPECT_EQ(window.boxes[2].caption, "Erase Bluetooth Encryption Keys");
    EXPECT_TRUE(core::state().keysErased);
    EXPECT_FALSE(window.menuEnabled.at(core::kMenuEraseKeys));
    EXPECT_TRUE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_EQ(window.buttonText, "OK");
    EXPECT_TRUE(host.calls.empty());

    // From now on the button can only end the program.
    connect("Update to 14.51");
    procedure.onCommand(core::kActionButtonCommand);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"end 0"}));
}

TEST_F(WindowProcedureTest, EraseKeysThenOpenTheInstructions) {
    core::workflows().eraseNordicKeys = [] { throw std::runtime_error("device gone"); };
    const int64_t before = clock.totalSleptMs();
    window.answers = {BoxAnswer::Yes, BoxAnswer::Yes};
    procedure.onCommand(core::kMenuEraseKeys);
    EXPECT_EQ(clock.totalSleptMs() - before, 14000);
    core::joinWorkerThreads();
    // An error of the thread is logged; the command goes on regardless.
    EXPECT_TRUE(logged("\r\neraseKeysThread: device gone\r\n"));
    EXPECT_TRUE(called(std::string("url ") + core::kBondingKeysArticleUrl));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"end 0"}));
}

TEST_F(WindowProcedureTest, ForcedUpdatesChooseTheirVariantWithoutAsking) {
    connect("", core::kJapaneseVariant);
    procedure.onCommand(core::kMenuForceUpdate);
    EXPECT_EQ(core::state().gcbn, 60);
    EXPECT_TRUE(core::state().reverseUpgrade);
    EXPECT_TRUE(logged(" Force -=FORCE REVERSE UPGRADE=- "));
    connect("", 0);
    procedure.onCommand(core::kMenuForceUpdate);
    EXPECT_EQ(core::state().gcbn, 0);

    procedure.onCommand(core::kMenuLoadStandard);
    EXPECT_EQ(core::state().gcbn, -99);
    EXPECT_TRUE(logged(" Toggle Standard -=FORCE REVERSE UPGRADE=- "));
    procedure.onCommand(core::kMenuLoadJapan);
    EXPECT_EQ(core::state().gcbn, 60);
    EXPECT_TRUE(logged(" Toggle Japnan -=FORCE REVERSE UPGRADE=- "));
    EXPECT_EQ(workerStarts, 4);
    EXPECT_TRUE(window.boxes.empty());

    EXPECT_FALSE(procedure.onCommand(4242));
}

// A build with test images, a GPS on the real road: every command that would
// write an image says why not, in the status's words, and starts nothing.
TEST_F(WindowProcedureTest, OnTheRealRoadTestImagesRefuseEveryCommandThatWritesAnImage) {
    if (!core::buildHasTestImages()) GTEST_SKIP() << "this build carries no test images";
    struct RealRoad {
        RealRoad() { core::setRealGpsRoad(true); }
        ~RealRoad() { core::setRealGpsRoad(false); }
    } realRoad;
    int packRuns = 0, recoveries = 0;
    core::workflows().languagePackCommand = [&] { ++packRuns; };
    core::workflows().onEmergencyProgramFlashMode = [&](core::SharedDeviceRecord&, int, int) {
        ++recoveries;
    };
    connect("Update to 7.63");
    window.answers.assign(6, core::BoxAnswer::Ok);
    for (int id : std::initializer_list<int>{core::kActionButtonCommand, core::kMenuForceUpdate,
                                             core::kMenuLoadJapan, core::kMenuLoadStandard,
                                             core::kMenuLanguagePacks})
        EXPECT_TRUE(procedure.onCommand(id));
    procedure.onMessage(core::WindowMessage::StartRecoveryFlash, 0);

    EXPECT_EQ(workerStarts, 0);
    EXPECT_EQ(packRuns, 0);
    EXPECT_EQ(recoveries, 0);
    EXPECT_FALSE(core::state().updateInProgress);
    ASSERT_EQ(window.boxes.size(), 6u);
    for (const auto& box : window.boxes) {
        EXPECT_EQ(box.text, core::kTestImagesNotice);
        EXPECT_EQ(box.caption, core::kTestImagesCaption);
    }
    EXPECT_EQ(core::state().statusDetail(), core::kTestImagesNotice);
}

TEST_F(WindowProcedureTest, AboutExitAndDestruction) {
    window.answers = {BoxAnswer::Ok};
    procedure.onCommand(core::kMenuAbout);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, core::aboutText());
    EXPECT_EQ(window.boxes[0].caption, "About");
    EXPECT_EQ(window.boxes[0].buttons, BoxButtons::Ok);

    procedure.onCommand(core::kMenuExit);
    EXPECT_TRUE(called("destroy"));
    procedure.onDestroy();
    EXPECT_EQ(lock.releases, 1);
    EXPECT_EQ(window.calls.back(), "quit 0");
}

TEST_F(WindowProcedureTest, AboutTextListsTheCarriedVersions) {
    // A build with test images says so first.
    const std::string note = core::buildHasTestImages() ? core::kTestImagesBuildNote : "";
    EXPECT_EQ(
        core::aboutText(),
        note +
            "Quorta Gps Firmware Programmer\n\nFirmware versions:\n Osprey GPS \t7.63\n Heron "
            "GPS \t7.63\n Finch Chroma \t7.63\n Band Chroma \t7.63\n Finch Band \t7.63\n Robin "
            "GPS  \t7.63\n Finch GPS \t7.63\n  Condor GPS \t14.51\n  Condor Chroma \t14.51\n  "
            "Osprey Max \t14.51\n  Heron Ultra \t14.51\n  Heron Lite \t13.12\n\r\n");
}

TEST_F(WindowProcedureTest, RecoveryDialogMessages) {
    core::state().setStatus("title", "detail");
    procedure.onMessage(core::WindowMessage::CreateRecoveryModeDlg, 0);
    EXPECT_TRUE(core::state().recoveryDialogOpen);
    EXPECT_EQ(core::state().statusTitle(), "Device Recovery Mode\n");
    EXPECT_EQ(core::state().statusDetail(), " ");
    EXPECT_TRUE(logged("\n--  WM_CREATE_RECOVERY_MODE_DLG CreateDialog --\n"));
    EXPECT_EQ(window.calls, (std::vector<std::string>{"invalidate", "repaint"}));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"create dialog"}));
    EXPECT_TRUE(core::unplugWarningShown());

    // Open already: nothing changes.
    procedure.onMessage(core::WindowMessage::CreateRecoveryModeDlg, 0);
    EXPECT_EQ(host.calls.size(), 1u);

    procedure.onFocus();
    EXPECT_EQ(host.calls.back(), "raise dialog");

    procedure.onMessage(core::WindowMessage::CloseRecoveryModeDlg, 0);
    EXPECT_FALSE(core::state().recoveryDialogOpen);
    EXPECT_EQ(host.calls.back(), "destroy dialog");
    EXPECT_FALSE(core::unplugWarningShown());
    host.calls.clear();
    procedure.onFocus();
    EXPECT_TRUE(host.calls.empty());

    int programmed = 0;
    core::workflows().onEmergencyProgramFlashMode = [&](core::SharedDeviceRecord& record, int type,
                                                        int variant) {
        ++programmed;
        EXPECT_EQ(&record, &core::deviceRecord());
        EXPECT_EQ(type, 13);
        EXPECT_EQ(variant, 60);
        EXPECT_TRUE(core::state().updateInProgress);
    };
    core::state().recoveryDeviceType = 13;
    core::state().recoveryVariant = 60;
    core::state().setStatus("x", "y");
    procedure.onMessage(core::WindowMessage::StartRecoveryFlash, 13);
    EXPECT_EQ(programmed, 1);
    EXPECT_EQ(core::state().statusTitle(), "Device Recovery Mode\n");
    EXPECT_EQ(core::state().statusDetail(), " ");
    EXPECT_TRUE(window.isVisible(Control::ProgressBar));
}

TEST_F(WindowProcedureTest, DeviceEventsReachTheirWorkflows) {
    std::vector<std::string> seen;
    core::workflows().onDevNodesChanged = [&] { seen.push_back("nodes"); };
    core::workflows().onDeviceArrival = [&] { seen.push_back("arrival"); };
    core::workflows().onDeviceRemoveComplete = [&] { seen.push_back("removal"); };
    core::workflows().onDeviceInfoRead = [&] { seen.push_back("info"); };
    procedure.onDeviceChange(platform::DeviceEvent::VolumeArrival);
    procedure.onDeviceChange(platform::DeviceEvent::VolumeRemoveComplete);
    procedure.onDeviceChange(platform::DeviceEvent::DevNodesChanged);
    procedure.onMessage(core::WindowMessage::OnDeviceInfoRead, 0);
    procedure.onUnhandledDeviceChange();
    EXPECT_EQ(seen, (std::vector<std::string>{"arrival", "removal", "nodes", "info"}));
    EXPECT_TRUE(logged("\n-- WM_DEVICECHANGE default Unhandled Event --\n"));

    // Start-up: the device-change path first, then one more scan.
    seen.clear();
    core::workflows().onDevNodesChanged = [&] {
        seen.push_back("nodes");
        EXPECT_FALSE(logged("\r\ndeviceScan BEGIN\r\n"));
    };
    procedure.afterShow();
    EXPECT_EQ(seen, (std::vector<std::string>{"nodes"}));
    EXPECT_TRUE(logged("\r\ndeviceScan BEGIN\r\n"));
}

TEST_F(WindowProcedureTest, AMissingWorkflowSaysSo) {
    core::workflows().onDeviceArrival = nullptr;
    procedure.onDeviceChange(platform::DeviceEvent::VolumeArrival);
    EXPECT_TRUE(logged("\r\nonDeviceArrival: not available in this build\r\n"));
}

TEST_F(WindowProcedureTest, WarningWhileAnyBusyFlagIsSet) {
    EXPECT_FALSE(core::unplugWarningShown());
    for (std::atomic<bool>* flag :
         {&core::state().updateInProgress, &core::state().factoryResetPending,
          &core::state().languagePackBusy, &core::state().recoveryDialogOpen,
          &core::state().backupDone, &core::state().resetBeforeNordic}) {
        *flag = true;
        EXPECT_TRUE(core::unplugWarningShown());
        *flag = false;
    }
    core::state().jbl = true;
    core::state().updateThreadActive = true;
    EXPECT_FALSE(core::unplugWarningShown());
}

}  // namespace
