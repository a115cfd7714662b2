// The computer is kept awake around a whole simulated update: the sleep,
// shutdown and idle lock is taken from a mock logind on a private D-Bus, held
// while the GPS is written, and given back when the work is done.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "E2eTest.h"
#include "MockBus.h"
#include "core/PowerGuard.h"
#include "platform/linux/LogindInhibitor.h"

namespace e2e {
namespace {

class PowerLockE2eTest : public UpdateE2eTest {
  protected:
    // Declared after the rig's owner: both outlive it.
    testing_support::MockBus bus;
    std::unique_ptr<platform::LogindInhibitor> inhibitor;
};

TEST_F(PowerLockE2eTest, HeldWhileTheGpsIsWrittenAndGivenBackAfter) {
    START_MOCK_BUS(bus.startMock("logind", "org.freedesktop.login1"));
    inhibitor = std::make_unique<platform::LogindInhibitor>(bus.address());
    core::Services services = core::services();
    services.sleepInhibitor = inhibitor.get();
    core::setServices(services);

    // Every status the window is given, with whether the lock was held then;
    // once, in the middle of the write, what logind itself holds.
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> seen;
    std::vector<testing_support::MockBus::Inhibitor> duringWrite;
    auto inner = core::reportCallbacks().reportStatus;
    core::reportCallbacks().reportStatus = [&, inner](int complete, const char* title,
                                                      const char* detail) {
        const std::string text = title ? title : (detail ? detail : "");
        {
            std::lock_guard lock(mutex);
            seen.emplace_back(text, inhibitor->held());
            if (text == "Flashing\n25% done") duringWrite = bus.logindInhibitors();
        }
        inner(complete, title, detail);
    };

    connect(gpsConfig(5, true, 7, 62));
    ASSERT_TRUE(waitForOffer());
    EXPECT_FALSE(inhibitor->held());  // nothing is written yet
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());

    std::lock_guard lock(mutex);
    // From the update worker's "Working..." to the end the lock is ours,
    // through every restart of the GPS between the pieces of the update:
    // one lock, taken by the update worker and carried over by the rest.
    const auto working =
        std::find_if(seen.begin(), seen.end(), [](auto& s) { return s.first == "Working..."; });
    ASSERT_NE(working, seen.end());
    ASSERT_GT(seen.end() - working, 20);
    for (auto it = working; it != seen.end(); ++it) EXPECT_TRUE(it->second) << it->first;
    EXPECT_EQ(duringWrite, (std::vector<testing_support::MockBus::Inhibitor>{
                               {"sleep:shutdown:idle", "Quorta GPS Updater",
                                core::kUpdatingFirmwareReason, "block"}}));

    // Nothing more to do: after its linger the lock goes, our descriptor is
    // closed and logind lets the computer sleep.
    EXPECT_TRUE(rig->waitFor([&] { return bus.logindInhibitors().empty(); }, 5s));
    EXPECT_TRUE(
        rig->waitFor([&] { return rig->countLog("The computer may sleep again\r\n") > 0; }, 5s));
    EXPECT_FALSE(inhibitor->held());
    std::ifstream calls(bus.logPath());
    std::stringstream text;
    text << calls.rdbuf();
    size_t asked = 0;
    for (size_t at = text.str().find("Inhibit \""); at != std::string::npos;
         at = text.str().find("Inhibit \"", at + 1)) {
        ++asked;
    }
    EXPECT_EQ(asked, 1u) << text.str();
    EXPECT_EQ(rig->countLog("Keeping the computer awake while the GPS is updated\r\n"), 1);
    EXPECT_EQ(rig->countLog("The computer may sleep again\r\n"), 1);
}

}  // namespace
}  // namespace e2e
