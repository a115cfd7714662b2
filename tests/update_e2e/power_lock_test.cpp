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
    auto at = [&](const std::string& text) {
        auto it = std::find_if(seen.begin(), seen.end(), [&](auto& s) { return s.first == text; });
        EXPECT_NE(it, seen.end()) << text;
        return it;
    };
    // From the update worker's "Working..." to the command to the bootloader,
    // and from erasing to the written image's start, the lock is ours.
    EXPECT_TRUE(at("Working...")->second);
    EXPECT_TRUE(at("Heron GPS connected\nUpdating")->second);
    const auto erasing = at("Heron GPS connected\nErasing");
    const auto success = at("Heron GPS Flashing success");
    ASSERT_LT(erasing, success);
    for (auto it = erasing; it <= success; ++it) EXPECT_TRUE(it->second) << it->first;
    EXPECT_EQ(
        duringWrite,
        (std::vector<testing_support::MockBus::Inhibitor>{
            {"sleep:shutdown:idle", "Quorta GPS Updater", core::kWritingFirmwareReason, "block"}}));

    // Done: our descriptor is closed and logind lets the computer sleep.
    EXPECT_FALSE(inhibitor->held());
    EXPECT_TRUE(rig->waitFor([&] { return bus.logindInhibitors().empty(); }, 5s));
    // Each piece of work asked once and gave back what it took.
    std::ifstream calls(bus.logPath());
    std::stringstream text;
    text << calls.rdbuf();
    for (const char* why : {core::kUpdatingFirmwareReason, core::kWritingFirmwareReason,
                            core::kUpdatingRadioReason}) {
        EXPECT_NE(text.str().find(std::string("Inhibit \"sleep:shutdown:idle\" \"Quorta GPS "
                                              "Updater\" \"") +
                                  why + "\" \"block\""),
                  std::string::npos)
            << why << "\n"
            << text.str();
    }
    const int taken = rig->countLog("Keeping the computer awake while the GPS is updated\r\n");
    EXPECT_GE(taken, 1);
    EXPECT_EQ(rig->countLog("The computer may sleep again\r\n"), taken);
}

}  // namespace
}  // namespace e2e
