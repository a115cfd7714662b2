// The whole automatic update in the window, against the simulated GPS.
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "GuiTestSupport.h"
#include "MainWindow.h"
#include "StatusCanvas.h"
#include "core/Services.h"
#include "core/UpdateOrchestration.h"
#include "hidport/hidport.h"
#include "screenshots/SimulatedComputer.h"

namespace {

using gui_testing::waitFor;

using UpdateWindowTest = gui_testing::GuiTest;

TEST_F(UpdateWindowTest, WholeUpdateThenOkEnds) {
    platform::ScaledClock fast(0.01);
    screenshots::SimulatedComputer computer(&fast);
    sim::GpsConfig config;
    config.deviceType = 13;
    config.versionMajor = 12;
    config.versionMinor = 10;
    config.radioBuild = 1332013;
    computer.machine->addGps(config).plugIn(sim::GpsMode::Application);
    services.clock = &fast;
    computer.wire(services);
    boxes.answer("", QMessageBox::Ok);  // the confirmation
    {
        ui_qt::MainWindow window(nullptr, &computer.machine->deviceEvents());
        services.window = &window;
        applyServices();
        window.create();
        window.show();
        window.afterShow();
        ASSERT_TRUE(waitFor(
            [&] {
                return window.updateButton()->isVisible() &&
                       window.updateButton()->text() == "Update to 14.51";
            },
            20000));
        window.updateButton()->click();
        bool warned = false;
        EXPECT_TRUE(waitFor(
            [&] {
                warned =
                    warned || (core::unplugWarningShown() && !window.updateButton()->isVisible());
                return core::state().statusDetail() == core::kLatestSoftwareText &&
                       !window.progressBar()->isVisible() && window.updateButton()->isVisible();
            },
            120000))
            << core::state().statusTitle() << " / " << core::state().statusDetail();
        EXPECT_TRUE(warned);
        EXPECT_EQ(core::state().statusTitle(),
                  "Osprey Max connected\nVer: 14.51-1333026\nJapanese");
        EXPECT_EQ(window.updateButton()->text(), "OK");
        // The confirmation and the reminder, and nothing else.
        std::vector<std::string> captions = boxes.captions();
        std::sort(captions.begin(), captions.end());
        EXPECT_EQ(captions, (std::vector<std::string>{"", core::kBackupReminderCaption}));

        window.updateButton()->click();
        EXPECT_TRUE(window.quitRequested());
        EXPECT_EQ(window.exitCode(), 0);
        window.shutDown();
    }
    computer.threads.joinAll();
    // The test's own collaborators end with it: the fixture's teardown must
    // not reach them through the context.
    services = core::Services{};
    applyServices();
    computer.machine.reset();
}

}  // namespace
