#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "MockBus.h"
#include "platform/linux/LogindInhibitor.h"

namespace {

using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;

// The locks the mock logind holds now: what, who, why, mode.
std::vector<Inhibitor> listInhibitors(const std::string& address) {
    std::vector<Inhibitor> out;
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            out.emplace_back(what, who, why, mode);
    } else {
        ADD_FAILURE() << "ListInhibitors failed";
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
}

// The mock drops a lock when it sees its pipe hang up, a moment later.
bool becomesEmpty(const std::string& address) {
    for (int i = 0; i < 100; ++i) {
        if (listInhibitors(address).empty()) return true;
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
    EXPECT_EQ(listInhibitors(bus.address()), std::vector<Inhibitor>{kOurs});

    // Asking again while held keeps the one lock.
    EXPECT_TRUE(inhibitor.acquire("Updating the GPS's firmware"));
    EXPECT_EQ(listInhibitors(bus.address()).size(), 1u);

    inhibitor.release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(becomesEmpty(bus.address()));
    inhibitor.release();  // twice is harmless

    // It can be taken again for the next piece of work, and goes with its owner.
    {
        platform::LogindInhibitor second(bus.address());
        ASSERT_TRUE(second.acquire("Resetting the GPS"));
        EXPECT_EQ(listInhibitors(bus.address()).size(), 1u);
    }
    EXPECT_TRUE(becomesEmpty(bus.address()));
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
