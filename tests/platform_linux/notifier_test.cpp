#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "MockBus.h"
#include "platform/linux/FreedesktopNotifier.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(FreedesktopNotifier, TheNotificationReachesTheService) {
    testing_support::MockBus bus;
    START_MOCK_BUS(bus.startMock("notification_daemon", "org.freedesktop.Notifications"));
    platform::FreedesktopNotifier notifier(bus.address());

    ASSERT_TRUE(notifier.notify("Quorta GPS Updater",
                                "Osprey Max connected\nLatest software is installed on device"))
        << notifier.lastError();
    EXPECT_EQ(notifier.lastError(), "");
    // The mock's record of the call: application, icon, summary, body and
    // the desktop entry that gives it the program's name and icon.
    const std::string calls = slurp(bus.logPath());
    EXPECT_NE(
        calls.find("Notify \"Quorta GPS Updater\" 0 \"quorta-updater\" \"Quorta GPS Updater\" "
                   "\"Osprey Max connected\nLatest software is installed on device\""),
        std::string::npos)
        << calls;
    EXPECT_NE(calls.find("desktop-entry"), std::string::npos) << calls;
    EXPECT_NE(calls.find("org.quorta.GpsUpdater"), std::string::npos) << calls;
}

TEST(FreedesktopNotifier, WithoutAServiceNothingIsShownAndItSaysWhy) {
    testing_support::MockBus bus;
    START_MOCK_BUS(bus.startBus());
    platform::FreedesktopNotifier notifier(bus.address());
    EXPECT_FALSE(notifier.notify("Quorta GPS Updater", "There was a problem updating your GPS"));
    EXPECT_EQ(notifier.lastError(), "no notification service on " + bus.address());

    platform::FreedesktopNotifier noBus("unix:path=/nonexistent/quorta-test-bus");
    EXPECT_FALSE(noBus.notify("Quorta GPS Updater", "text"));
    EXPECT_NE(noBus.lastError().find("cannot connect to the D-Bus"), std::string::npos)
        << noBus.lastError();
}

}  // namespace
