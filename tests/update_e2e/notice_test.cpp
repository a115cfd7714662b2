// The end of an update told to a user who has turned to another window.
#include <gtest/gtest.h>

#include <mutex>

#include "E2eTest.h"
#include "platform/DesktopNotifier.h"

namespace e2e {
namespace {

class RecordingNotifier : public platform::DesktopNotifier {
  public:
    bool notify(const std::string& summary, const std::string& body) override {
        std::lock_guard lock(mutex_);
        shown_.push_back(summary + "|" + body);
        return serviceRuns;
    }
    std::string lastError() const override { return "no notification service on the session bus"; }
    std::vector<std::string> shown() {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    bool serviceRuns = true;

  private:
    std::mutex mutex_;
    std::vector<std::string> shown_;
};

class NoticeTest : public UpdateE2eTest {
  protected:
    void SetUp() override {
        UpdateE2eTest::SetUp();
        core::Services s = core::services();
        s.notifier = &notifier;
        core::setServices(s);
    }
    RecordingNotifier notifier;
};

TEST_F(NoticeTest, TheEndOfAnUpdateIsToldWhenTheWindowIsNotInFront) {
    sim::SimulatedGps& gps = connect(gpsConfig(5, true, 7, 62));
    ASSERT_TRUE(waitForOffer());
    rig->window.active = false;
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    EXPECT_EQ(notifier.shown(),
              std::vector<std::string>{"Quorta GPS Updater|Heron GPS connected\nVer: 7.63-1031039\n"
                                       "Japanese\nLatest software is installed on device"});
}

TEST_F(NoticeTest, AFailedUpdateIsToldAndAMissingServiceSaidOnce) {
    sim::GpsConfig config = gpsConfig(5, true, 7, 62);
    config.faults.bootloaderOpenFailures = 1000;  // the erase cannot open the bootloader
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->window.active = false;
    notifier.serviceRuns = false;
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return !notifier.shown().empty(); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    ASSERT_EQ(notifier.shown().size(), 1u);
    EXPECT_EQ(notifier.shown()[0].rfind("Quorta GPS Updater|There was a problem updating your "
                                        "Heron GPS. Please try again or contact Quorta technical "
                                        "support.",
                                        0),
              0u)
        << notifier.shown()[0];
    EXPECT_EQ(rig->countLog("No desktop notification of the update's end: no notification service "
                            "on the session bus\r\n"),
              1);
}

TEST_F(NoticeTest, NothingIsToldWhileTheWindowIsInFront) {
    sim::SimulatedGps& gps = connect(gpsConfig(5, true, 7, 62));
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    EXPECT_TRUE(notifier.shown().empty());
}

}  // namespace
}  // namespace e2e
