#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "CoreTestSupport.h"
#include "core/LanguagePacks.h"
#include "core/Maintenance.h"
#include "core/PowerGuard.h"
#include "core/UpdateWorkers.h"
#include "core/WorkerThreads.h"
#include "platform/SleepInhibitor.h"

namespace {

class FakeInhibitor : public platform::SleepInhibitor {
  public:
    bool acquire(const std::string& why) override {
        reasons.push_back(why);
        if (!available) return false;
        held = true;
        return true;
    }
    void release() override {
        ++releases;
        held = false;
    }
    std::string lastError() const override { return error; }

    bool available = true;
    // Given back on the linger's thread.
    std::atomic<bool> held = false;
    std::atomic<int> releases = 0;
    std::string error;
    std::vector<std::string> reasons;
};

class PowerGuardTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        services.sleepInhibitor = &inhibitor;
        applyServices();
        core::setPowerLingerMs(0);  // given back when the guard goes, unless a test says
    }
    void TearDown() override {
        core::setPowerLingerMs(0);  // nothing lingers past the inhibitor
        core::setPowerLingerMs(core::kPowerLingerMs);
    }
    FakeInhibitor inhibitor;
};

TEST_F(PowerGuardTest, HoldsTheLockForItsScopeAndReleasesOnEveryWayOut) {
    {
        core::PowerGuard guard("Updating the GPS's firmware");
        EXPECT_TRUE(guard.held());
        EXPECT_TRUE(inhibitor.held);
        EXPECT_EQ(inhibitor.reasons, std::vector<std::string>{"Updating the GPS's firmware"});
    }
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(inhibitor.releases, 1);
    EXPECT_TRUE(logged("Keeping the computer awake while the GPS is updated\r\n"));
    EXPECT_TRUE(logged("The computer may sleep again\r\n"));

    // A worker that throws still gives the lock back.
    EXPECT_THROW(
        {
            core::PowerGuard guard("Resetting the GPS");
            throw std::runtime_error("device gone");
        },
        std::runtime_error);
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(inhibitor.releases, 2);
}

TEST_F(PowerGuardTest, NestedWorkKeepsTheOuterLockUntilTheOuterEnds) {
    {
        core::PowerGuard update("Updating the GPS's firmware");
        {
            core::PowerGuard packs("Loading language packs");
            EXPECT_TRUE(packs.held());
        }
        EXPECT_TRUE(inhibitor.held);  // the inner end must not let the computer sleep
        EXPECT_EQ(inhibitor.releases, 0);
    }
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(inhibitor.releases, 1);
    EXPECT_EQ(inhibitor.reasons.size(), 1u);
    EXPECT_EQ(countLog("Keeping the computer awake while the GPS is updated\r\n"), 1);
}

TEST_F(PowerGuardTest, TheLockSpansTheGapBetweenTwoPiecesOfWorkThenGoes) {
    core::setPowerLingerMs(core::kPowerLingerMs);  // 60 ms on this clock
    { core::PowerGuard update(core::kUpdatingFirmwareReason); }
    EXPECT_TRUE(inhibitor.held);  // the GPS restarts in its bootloader meanwhile
    {
        core::PowerGuard write(core::kWritingFirmwareReason);
        EXPECT_TRUE(write.held());
    }
    EXPECT_EQ(inhibitor.reasons.size(), 1u);  // taken over, not asked again
    EXPECT_EQ(inhibitor.releases, 0);

    // Nothing takes it over: it goes after the linger (the line is logged
    // just after the release, on the linger's thread).
    for (int i = 0; i < 500 && countLog("The computer may sleep again\r\n") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(inhibitor.releases, 1);
    EXPECT_EQ(countLog("The computer may sleep again\r\n"), 1);

    // Before a box that may wait all night it goes at once.
    core::PowerGuard fatal(core::kUpdatingRadioReason);
    fatal.endNow();
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(inhibitor.releases, 2);
}

TEST_F(PowerGuardTest, ALingeringLockIsNotWorkAFrontEndWaitsFor) {
    core::setPowerLingerMs(3600000);  // an hour on this clock
    { core::PowerGuard update(core::kUpdatingFirmwareReason); }
    EXPECT_TRUE(inhibitor.held);
    // The terminal's run ends when no device work is left, not an hour on.
    EXPECT_EQ(core::runningWorkerThreads(), 0u);
    // And ending the run gives the lock back at once.
    core::setPowerLingerMs(0);
    EXPECT_FALSE(inhibitor.held);
    core::joinWorkerThreads();
}

TEST_F(PowerGuardTest, GoesOnWithoutALockAndSaysWhy) {
    inhibitor.available = false;
    inhibitor.error = "logind is not running on the system bus";
    {
        core::PowerGuard guard("Loading language packs");
        EXPECT_FALSE(guard.held());
    }
    EXPECT_EQ(inhibitor.releases, 0);  // nothing was taken, nothing is given back
    EXPECT_TRUE(
        logged("Cannot keep the computer awake (logind is not running on the "
               "system bus); do not let it sleep until the GPS is done\r\n"));
    EXPECT_EQ(logText().find("Keeping the computer awake"), std::string::npos);
}

// A box waits for a click, perhaps all night: the lock is not kept for it.
class BoxWindow : public testing_support::RecordingWindow {
  public:
    explicit BoxWindow(FakeInhibitor& inhibitor) : inhibitor_(inhibitor) {}
    core::BoxAnswer messageBox(const std::string& text, const std::string& caption,
                               core::BoxButtons buttons, core::BoxIcon icon) override {
        heldAtBoxes.push_back(inhibitor_.held);
        return RecordingWindow::messageBox(text, caption, buttons, icon);
    }
    std::vector<bool> heldAtBoxes;

  private:
    FakeInhibitor& inhibitor_;
};

TEST_F(PowerGuardTest, DeviceWorkHoldsTheLockAndGivesItBackBeforeItsBoxes) {
    BoxWindow window(inhibitor);
    services.window = &window;
    applyServices();

    // No GPS answers: each piece of work takes the lock, fails, and shows
    // its box without it; a worker's last box ends the program, so its lock
    // does not linger.
    core::setPowerLingerMs(3600000);
    core::updateWorkerThread();
    core::updateNordicThread();
    core::setPowerLingerMs(0);
    core::languagePackCommand();
    EXPECT_FALSE(core::factoryReset());

    EXPECT_EQ(inhibitor.reasons,
              (std::vector<std::string>{core::kUpdatingFirmwareReason, core::kUpdatingRadioReason,
                                        core::kLanguagePacksReason, core::kFactoryResetReason}));
    EXPECT_EQ(inhibitor.releases, 4);
    EXPECT_FALSE(inhibitor.held);
    EXPECT_EQ(window.heldAtBoxes, (std::vector<bool>{false, false, false, false}));
}

TEST_F(PowerGuardTest, NoInhibitorMeansNoLockAndNoNoise) {
    services.sleepInhibitor = nullptr;
    applyServices();
    {
        core::PowerGuard guard("Updating the GPS's firmware");
        EXPECT_FALSE(guard.held());
    }
    EXPECT_TRUE(logLines().empty());
}

}  // namespace
