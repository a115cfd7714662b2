#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "MockBus.h"
#include "platform/linux/LogindInhibitor.h"

namespace {

using Inhibitor = testing_support::MockBus::Inhibitor;

// The mock drops a lock when it sees its pipe hang up, a moment later.
bool becomesEmpty(const testing_support::MockBus& bus) {
    for (int i = 0; i < 100; ++i) {
        if (bus.logindInhibitors().empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

const Inhibitor kOurs{"sleep:shutdown:idle", "Quorta GPS Updater", "Updating the GPS's firmware",
                      "block"};

TEST(LogindInhibitor, HoldsTheLockUntilReleased) {
    testing_support::MockBus bus;
    START_MOCK_BUS(bus.startMock("logind", "org.freedesktop.login1"));
    platform::LogindInhibitor inhibitor(bus.address());

    ASSERT_TRUE(inhibitor.acquire("Updating the GPS's firmware")) << inhibitor.lastError();
    EXPECT_TRUE(inhibitor.held());
    EXPECT_EQ(inhibitor.lastError(), "");
    // The fd is ours alone now: the lock stays after the call's reply is gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(bus.logindInhibitors(), std::vector<Inhibitor>{kOurs});

    // Asking again while held keeps the one lock.
    EXPECT_TRUE(inhibitor.acquire("Updating the GPS's firmware"));
    EXPECT_EQ(bus.logindInhibitors().size(), 1u);

    inhibitor.release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(becomesEmpty(bus));
    inhibitor.release();  // twice is harmless

    // It can be taken again for the next piece of work, and goes with its owner.
    {
        platform::LogindInhibitor second(bus.address());
        ASSERT_TRUE(second.acquire("Resetting the GPS"));
        EXPECT_EQ(bus.logindInhibitors().size(), 1u);
    }
    EXPECT_TRUE(becomesEmpty(bus));
}

TEST(LogindInhibitor, SaysWhyWhenLogindIsAbsent) {
    testing_support::MockBus bus;
    START_MOCK_BUS(bus.startBus());
    platform::LogindInhibitor inhibitor(bus.address());
    EXPECT_FALSE(inhibitor.acquire("Updating the GPS's firmware"));
    EXPECT_FALSE(inhibitor.held());
    EXPECT_EQ(inhibitor.lastError(), "logind is not running on " + bus.address());
    inhibitor.release();  // nothing held: nothing happens
}

TEST(LogindInhibitor, SaysWhyWhenThereIsNoBus) {
    platform::LogindInhibitor inhibitor("unix:path=/nonexistent/quorta-test-bus");
    EXPECT_FALSE(inhibitor.acquire("Updating the GPS's firmware"));
    EXPECT_NE(inhibitor.lastError().find("cannot connect to the D-Bus"), std::string::npos)
        << inhibitor.lastError();
}

}  // namespace
