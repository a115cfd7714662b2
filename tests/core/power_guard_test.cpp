#include <gtest/gtest.h>

#include <stdexcept>

#include "CoreTestSupport.h"
#include "core/PowerGuard.h"
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
    bool held = false;
    int releases = 0;
    std::string error;
    std::vector<std::string> reasons;
};

class PowerGuardTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        services.sleepInhibitor = &inhibitor;
        applyServices();
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
