#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "core/StatusReporting.h"

namespace {

using core::Control;
using testing_support::RecordingWindow;

class StatusTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        showStatusOn(window);
    }
    RecordingWindow window;
};

TEST_F(StatusTest, InstallFillsTheSlotsAndTheTitle) {
    core::clearReportCallbacks();
    core::installReportCallbacks();
    const core::ReportCallbacks& cb = core::reportCallbacks();
    EXPECT_TRUE(cb.reportStatus && cb.logLine && cb.waitSeconds);
    EXPECT_EQ(core::state().statusTitle(), "Please connect your\nQuorta GPS Device");

    int64_t before = clock.totalSleptMs();
    core::waitSeconds(3);
    EXPECT_EQ(clock.totalSleptMs() - before, 3000);
}

TEST_F(StatusTest, PlainReportChangesNothingButRepaints) {
    core::state().setStatus("title", "detail");
    core::reportStatus(0, nullptr, nullptr);
    EXPECT_EQ(core::state().statusTitle(), "title");
    EXPECT_EQ(core::state().statusDetail(), "detail");
    EXPECT_EQ(window.calls, (std::vector<std::string>{"invalidate erase", "update"}));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(StatusTest, CompletionShowsTheOkButton) {
    core::state().ADF = true;
    core::reportStatus(1, nullptr, "done");
    EXPECT_TRUE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_EQ(window.buttonText, "OK");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"\n-- isComplete --\n",
                                                    " updateButton SW_SHOW A ADF:1 \r\n"}));
}

TEST_F(StatusTest, CompletionDuringFactoryResetKeepsTheBusyLook) {
    core::state().factoryResetPending = true;
    core::reportStatus(1, nullptr, "");
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_TRUE(window.isVisible(Control::ProgressBar));
    EXPECT_EQ(window.buttonText, "");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(StatusTest, CompletionDuringForcedUpdateLeavesTheButtonHidden) {
    core::state().reverseUpgrade = true;
    core::reportStatus(1, nullptr, nullptr);
    EXPECT_FALSE(window.wasSet(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_EQ(window.buttonText, "OK");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"\n-- isComplete --\n"}));
}

TEST_F(StatusTest, RefreshWithoutDevice) {
    core::state().updateThreadActive = true;
    core::state().setStatus("Heron GPS connected", "x");
    core::refreshControls(window);
    EXPECT_EQ(core::state().statusTitle(), "Please connect your\nQuorta GPS Device");
    EXPECT_EQ(core::state().statusDetail(), " ");
    EXPECT_FALSE(core::state().updateThreadActive);
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    for (int id : {32771, 32778, 32779, 32780, 32781, 32782}) {
        ASSERT_TRUE(window.menuEnabled.count(id)) << id;
        EXPECT_FALSE(window.menuEnabled[id]) << id;
    }
    EXPECT_EQ(window.calls.back(), "update");
}

TEST_F(StatusTest, RefreshWhileBusy) {
    core::state().updateInProgress = true;
    core::refreshControls(window);
    EXPECT_TRUE(window.isVisible(Control::ProgressBar));
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_TRUE(window.menuEnabled.empty());
    EXPECT_TRUE(core::state().updateInProgress);
}

TEST_F(StatusTest, RefreshWithADeviceEnablesItsCommands) {
    core::state().ishf = true;
    core::DeviceRecord rec;
    rec.dlv = 60;
    core::deviceRecord().store(rec);
    core::reportCallbacks().currentDevice = &core::deviceRecord();
    core::refreshControls(window);
    for (int id : {32771, 32778, 32779, 32780}) EXPECT_TRUE(window.menuEnabled[id]) << id;
    EXPECT_FALSE(window.menuEnabled[32781]);
    EXPECT_FALSE(window.menuEnabled[32782]);
    EXPECT_FALSE(window.wasSet(Control::UpdateButton));

    rec.dlv = 0;
    core::deviceRecord().store(rec);
    core::refreshControls(window);
    EXPECT_FALSE(window.menuEnabled[32780]);

    // No record published yet: not a Japanese device.
    core::reportCallbacks().currentDevice = nullptr;
    window.menuEnabled.clear();
    core::refreshControls(window);
    EXPECT_FALSE(window.menuEnabled[32780]);
}

TEST_F(StatusTest, LogLinesAreCutFor299Characters) {
    core::windowLogLine(std::string(400, 'a'));
    ASSERT_EQ(debug.lines.size(), 1u);
    EXPECT_EQ(debug.lines[0].size(), 299u);
    EXPECT_EQ(window.logView.size(), 299u);

    // A cut never splits a character.
    std::string text(298, 'b');
    text += "\xE3\x81\x82";  // one three-byte character across the limit
    core::windowLogLine(text);
    EXPECT_EQ(debug.lines[1], std::string(298, 'b'));

    core::windowLogLine("short\r\n");
    EXPECT_EQ(debug.lines[2], "short\r\n");
    EXPECT_EQ(window.logView.substr(299 + 298), "short\r\n");
}

}  // namespace
