// The state machine's own decisions: titles, the fully-updated test, when a
// device event rescans, and how a record read is shown.
#include <gtest/gtest.h>

#include "WorkflowTestSupport.h"
#include "core/UpdateOrchestration.h"
#include "core/UpdateWorkers.h"

namespace {

using core::Control;
using testing_support::RecordingWindow;

core::DeviceRecord heron(int major, int minor, int dlv) {
    core::DeviceRecord r;
    r.deviceType = 5;
    r.modelName = "Heron GPS";
    r.versionMajor = major;
    r.versionMinor = minor;
    r.targetMajor = 7;
    r.targetMinor = 63;
    r.dlv = dlv;
    return r;
}

TEST(ConnectedTitle, FourFormsAndTheCutName) {
    EXPECT_EQ(core::composeConnectedTitle(heron(7, 63, 60), 1031039),
              "Heron GPS connected\nVer: 7.63-1031039\nJapanese");
    EXPECT_EQ(core::composeConnectedTitle(heron(7, 63, 60), 0),
              "Heron GPS connected\nVer: 7.63\nJapanese");
    EXPECT_EQ(core::composeConnectedTitle(heron(7, 5, 0), 1031039),
              "Heron GPS connected\nVer: 7.05-1031039\n");
    EXPECT_EQ(core::composeConnectedTitle(heron(7, 5, 0), 0), "Heron GPS connected\nVer: 7.05\n");
    // Japanese minor versions are not padded.
    EXPECT_EQ(core::composeConnectedTitle(heron(7, 5, 60), 0),
              "Heron GPS connected\nVer: 7.5\nJapanese");

    core::DeviceRecord longName = heron(7, 63, 60);
    longName.modelName = std::string(50, 'M');
    EXPECT_EQ(core::composeConnectedTitle(longName, 0),
              std::string(40, 'M') + " connected\nVer: 7.63\nJapanese");
}

class OrchestrationTest : public testing_support::WorkflowTest {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        services.window = &window;
        applyServices();
    }
    void show(const core::DeviceRecord& r) {
        core::deviceRecord().store(r);
        core::reportCallbacks().currentDevice = &core::deviceRecord();
    }
    bool scanned() { return logged("\r\ndeviceScan BEGIN\r\n"); }
    bool debugged(const std::string& line) {
        auto lines = debug.snapshot();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    RecordingWindow window;
};

TEST_F(OrchestrationTest, FullyUpdatedNeedsFirmwareRadioAndNoWorker) {
    core::UpdaterState& st = core::state();
    st.deviceRadioBuild = 1031039;
    EXPECT_TRUE(core::isFullyUpdated(heron(7, 63, 60)));
    EXPECT_FALSE(core::isFullyUpdated(heron(7, 62, 60)));
    st.updateThreadActive = true;
    EXPECT_FALSE(core::isFullyUpdated(heron(7, 63, 60)));
    st.updateThreadActive = false;
    st.deviceRadioBuild = 0;
    EXPECT_FALSE(core::isFullyUpdated(heron(7, 63, 60)));
}

TEST_F(OrchestrationTest, AKnownIdleDeviceIsNotRescanned) {
    core::UpdaterState& st = core::state();
    st.deviceRadioBuild = 1031039;
    core::onDevNodesChanged();
    EXPECT_TRUE(logged("\r\nDBT_DEVNODES_CHANGED\r\n"));
    EXPECT_FALSE(scanned());
    EXPECT_EQ(st.deviceRadioBuild, 1031039);

    // Busy, it is; and a removal always rescans.
    st.languagePackBusy = true;
    core::onDevNodesChanged();
    EXPECT_TRUE(scanned());
    EXPECT_EQ(st.deviceRadioBuild, 0);

    log.clear();
    st.deviceRadioBuild = 1031039;
    core::onDeviceRemoveComplete();
    EXPECT_TRUE(logged("\r\n DBT_DEVICEREMOVECOMPLETE\r\n"));
    EXPECT_TRUE(scanned());
    EXPECT_EQ(st.deviceRadioBuild, 0);
}

TEST_F(OrchestrationTest, ARecordIsShownWithItsOffer) {
    core::DeviceRecord r = heron(7, 62, 60);
    r.connectedText = "Heron GPS connected\nVer: 7.62\nJapanese";
    r.updateLabel = "Update to 7.63";
    show(r);
    core::onGpsDeviceInfoRead();
    EXPECT_EQ(core::state().statusTitle(), r.connectedText);
    EXPECT_EQ(window.buttonText, "Update to 7.63");
    EXPECT_TRUE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_TRUE(logged("updateButton SW_SHOW B normal display mod\n"));

    // While the device restarts after its programming the button stays away.
    core::state().ADF = true;
    r.updateLabel.clear();
    r.statusMessage = "Programming Please Wait...";
    show(r);
    core::onGpsDeviceInfoRead();
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_TRUE(logged("updateButton SW_SHOW B SUPPRESS normal display mod\n"));
    EXPECT_EQ(core::state().statusDetail(), "Programming Please Wait...");
    EXPECT_EQ(window.buttonText, "OK");
}

TEST_F(OrchestrationTest, AReverseUpgradeWithCurrentFirmwareGoesOnToTheRadio) {
    core::UpdaterState& st = core::state();
    show(heron(7, 63, 60));
    st.deviceRadioBuild = 102007;
    st.reverseUpgrade = true;
    st.sameFirmwareVersion = true;
    core::onGpsDeviceInfoRead();
    EXPECT_TRUE(logged("\n -- onGpsDeviceInfoRead REVERSE UPGRADE CONTINUE-- \n"));
    EXPECT_EQ(st.gcbn, 60);
    EXPECT_EQ(threads.startedNames(), std::vector<std::string>{core::kWirelessWorkerName});
    // The display steps are skipped.
    EXPECT_TRUE(statuses().empty());
    EXPECT_FALSE(logged("updateButton SW_SHOW B normal display mod\n"));
}

TEST_F(OrchestrationTest, TheFullyUpdatedDeviceSaysSo) {
    core::UpdaterState& st = core::state();
    core::DeviceRecord r = heron(7, 63, 60);
    r.statusMessage = "Latest software is installed on device";
    show(r);
    st.ishf = true;
    st.deviceRadioBuild = 1031039;  // known: the radio is not asked again
    st.updateInProgress = true;
    st.scanInProgress = true;

    core::onDeviceInfoRead();

    EXPECT_TRUE(debugged("\r\nWM_ON_DEVICE_INFO_READ\r\n"));
    EXPECT_FALSE(logged("\r\nWM_ON_DEVICE_INFO_READ\r\n"));
    EXPECT_TRUE(logged("WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n"));
    EXPECT_EQ(st.statusTitle(), "Heron GPS connected\nVer: 7.63-1031039\nJapanese");
    EXPECT_EQ(st.statusDetail(), "Latest software is installed on device");
    EXPECT_FALSE(st.updateInProgress);
    EXPECT_FALSE(st.scanInProgress);
    EXPECT_TRUE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    const core::DeviceRecord after = core::deviceRecord().snapshot();
    EXPECT_EQ(after.statusMessage, "Latest software is installed on device");
    EXPECT_TRUE(after.updateLabel.empty());
}

}  // namespace
