// The automatic update, end to end, against the simulated GPS: the road a
// user takes from plugging the GPS in to "Latest software is installed on
// device", for the models whose roads differ.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "E2eTest.h"
#include "core/Backup.h"
#include "core/Context.h"
#include "core/images/firmwareImages.h"
#include "sim/SimulatedFirmware.h"

namespace e2e {
namespace {

bool activityHas(const sim::SimulatedGps& gps, const std::string& deed) {
    for (const std::string& line : gps.activity())
        if (line == deed) return true;
    return false;
}

int activityCount(const sim::SimulatedGps& gps, const std::string& prefix) {
    int n = 0;
    for (const std::string& line : gps.activity())
        if (line.rfind(prefix, 0) == 0) ++n;
    return n;
}

// The phases the update entered, in order; shared with the watcher, which
// the context keeps after the test's body.
class PhaseLog {
  public:
    PhaseLog() {
        core::updatePhases().watch([log = log_](core::UpdatePhase, core::UpdatePhase entered) {
            std::lock_guard lock(log->mutex);
            log->seen.push_back(core::updatePhaseName(entered));
        });
    }
    std::vector<std::string> seen() const {
        std::lock_guard lock(log_->mutex);
        return log_->seen;
    }

  private:
    struct Log {
        std::mutex mutex;
        std::vector<std::string> seen;
    };
    std::shared_ptr<Log> log_ = std::make_shared<Log>();
};

images::ImageVersion flashVersion(const sim::SimulatedGps& gps) {
    images::ImageVersion v;
    EXPECT_EQ(gps.checkFlashImage(&v), images::ImageCheck::ok);
    return v;
}

TEST_F(UpdateE2eTest, EightStepUpdateOfAJapaneseHeron) {
    // 1. Plugged in: the device with its version and the offer.
    sim::SimulatedGps& gps = connect(gpsConfig(5, true, 7, 62));
    ASSERT_TRUE(waitForOffer());
    EXPECT_EQ(rig->window.buttonText(), "Update to 7.63");
    EXPECT_EQ(core::state().statusTitle(), "Heron GPS connected\nVer: 7.62-1031039\nJapanese");

    // 2. The click and its confirmation; 3. to 8. run by themselves.
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    EXPECT_EQ(core::state().statusTitle(), "Heron GPS connected\nVer: 7.63-1031039\nJapanese");
    EXPECT_EQ(core::state().statusDetail(), "Latest software is installed on device");
    EXPECT_TRUE(rig->window.buttonVisible());
    EXPECT_FALSE(rig->window.progressVisible());

    // The steps in their order.
    const int working = rig->statusIndex("Working...");
    const int updating = rig->statusIndex("Heron GPS connected\nUpdating", working);
    const int erasing = rig->statusIndex("Heron GPS connected\nErasing", updating);
    // The driver wait ends as soon as the bootloader answers: long before 15 s.
    const int drivers = rig->statusIndex("Updating drivers", erasing);
    const int writing = rig->statusIndex("Programming...Do not unplug", drivers);
    const int quarter = rig->statusIndex("Flashing\n25% done", writing);
    const int flashed = rig->statusIndex("Flashing Started", quarter);
    const int wait = rig->statusIndex("Heron GPS WAIT", flashed);
    const int success = rig->statusIndex("Heron GPS Flashing success", wait);
    EXPECT_GE(working, 0);
    EXPECT_GT(updating, working);
    EXPECT_GT(erasing, updating);
    EXPECT_GT(drivers, erasing);
    EXPECT_GT(writing, drivers);
    EXPECT_GT(quarter, writing);
    EXPECT_GT(flashed, quarter);
    EXPECT_GT(wait, flashed);
    EXPECT_GT(success, wait);
    EXPECT_FALSE(rig->sawDetail("Updating drivers\n35% done"));
    EXPECT_TRUE(rig->logged("REVERSE UPGRADE REQUIRED\r\n"));
    EXPECT_TRUE(rig->logged("- DBT_DEVICEARRIVAL - in boot loader mode\r\n"));
    EXPECT_TRUE(rig->logged("\r\n Start Auto Update - NORDIC\r\n"));
    EXPECT_TRUE(rig->logged("\n--NORDIC UP TO DATE--\r\n"));
    EXPECT_TRUE(rig->logged("WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n"));

    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{5, 60, 7, 63}));
    EXPECT_EQ(activityCount(gps, "JUMP_TO_BL"), 1);
    EXPECT_TRUE(activityHas(gps, "booted 7.63 Japanese"));
    // The only box was the confirmation.
    ASSERT_EQ(rig->window.boxes().size(), 1u);
    EXPECT_EQ(rig->window.boxes()[0].text,
              "Please do not unplug your device.  This will take a few minutes.");
    EXPECT_FALSE(rig->window.destroyed());
    EXPECT_FALSE(core::state().updateInProgress);
    EXPECT_FALSE(core::state().reverseUpgrade);
}

TEST_F(UpdateE2eTest, OspreyMaxFromTwelveKeepsItsDataThroughTheFactoryReset) {
    auto [gps, quorta, before] = addRidersGps();
    ASSERT_GE(before.size(), 7u);
    gps.plugIn(sim::GpsMode::Application);
    PhaseLog phases;
    rig->startUp();
    ASSERT_TRUE(waitForOffer());
    EXPECT_EQ(rig->window.buttonText(), "Update to 14.51");

    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    // Back after the factory reset, the update goes on a second time.
    EXPECT_EQ(phases.seen(), (std::vector<std::string>{"device-shown",
                                                       "backing-up",
                                                       "backed-up",
                                                       "jumping",
                                                       "waiting-for-bootloader",
                                                       "erasing",
                                                       "writing",
                                                       "resetting",
                                                       "continuing",
                                                       "factory-reset",
                                                       "continuing",
                                                       "radio-copy",
                                                       "radio",
                                                       "radio-done",
                                                       "language-pack-copy",
                                                       "language-packs",
                                                       "language-packs-loaded",
                                                       "restoring",
                                                       "restored",
                                                       "done"}));

    // Backup, main firmware, factory reset, radio, fonts, restore: in order.
    EXPECT_TRUE(rig->logged("Save GPS Data To Local...DONE\r\n"));
    const int success = rig->statusIndex("Osprey Max Flashing success");
    const int resetting = rig->statusIndex("Resetting GPS Disk...", success);
    const int radio = rig->statusIndex("Osprey Max\nProgramming wireless firmware", resetting);
    const int fonts = rig->statusIndex("Language Pack 2 of 2 done!", radio);
    const int restoring = rig->statusIndex("Restoring Data...", fonts);
    EXPECT_GE(success, 0);
    EXPECT_GT(resetting, success);
    EXPECT_GT(radio, resetting);
    EXPECT_GT(fonts, radio);
    EXPECT_GT(restoring, fonts);
    EXPECT_TRUE(activityHas(gps, "factory reset: Quorta folder emptied"));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{13, 60, 14, 51}));

    // Every file back, bit for bit, and the flags let go.
    EXPECT_EQ(snapshotTree(quorta), before);
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_FALSE(core::state().resetBeforeNordic);
    EXPECT_FALSE(std::filesystem::exists(core::backupFolder() + core::kHeldMarkerSuffix));
    EXPECT_EQ(core::state().statusTitle(), "Osprey Max connected\nVer: 14.51-1333026\nJapanese");
    EXPECT_EQ(rig->window.boxes().size(), 1u);  // the confirmation
}

TEST_F(UpdateE2eTest, CondorAtTheCondorRadioBuildGetsItsRadioUpdateAnyway) {
    sim::GpsConfig config = gpsConfig(11, true, 14, 40);
    config.radioBuild = 1333026;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());

    EXPECT_TRUE(rig->logged("\n--NORDIC UP TO DATE CONDOR--\r\n"));
    EXPECT_EQ(activityCount(gps, "radio programmed"), 1);
    EXPECT_TRUE(std::filesystem::exists(gps.driveFolder() + "/nrf_update.bin"));
    EXPECT_TRUE(std::filesystem::exists(gps.driveFolder() + "/nrf_update.dat"));
    // The single font pack of the Condors.
    EXPECT_TRUE(rig->sawDetail("Language Pack condor done!"));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{11, 60, 14, 51}));
}

TEST_F(UpdateE2eTest, CondorChromaWithASilentRadioIsUpdatedPastTheBypass) {
    sim::GpsConfig config = gpsConfig(12, true, 14, 40);
    config.faults.silentRadio = true;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    EXPECT_TRUE(rig->logged("SPECIAL BUILD - CONDOR SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n"));

    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    EXPECT_TRUE(rig->logged("ByPass Flag Set NRFV\r\n"));
    EXPECT_EQ(activityCount(gps, "radio programmed"), 1);
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{12, 60, 14, 51}));
    EXPECT_EQ(core::state().statusTitle(), "Condor Chroma connected\nVer: 14.51-1333026\nJapanese");
}

// Images longer than the usual erase region land whole, also over a longer
// older image and twice in a row.
TEST_F(UpdateE2eTest, LongImagesLandOverOlderLongImagesTwice) {
    sim::SimulatedGps& gps = addGps(gpsConfig(11, true, 14, 50));
    gps.loadFlashImage(sim::makeFirmwareImage({11, 60, 14, 50}, 575'000));
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());

    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->sawTitle("Condor GPS Flashing success"); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 120s));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{11, 60, 14, 51}));

    // Once more, from the menu, over the image just written.
    const size_t firstSuccess = rig->statuses().size();
    rig->forceUpdate();
    ASSERT_TRUE(rig->waitFor(
        [&] { return rig->statusIndex("Condor GPS Flashing success", int(firstSuccess)) >= 0; },
        60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 120s));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{11, 60, 14, 51}));
    EXPECT_EQ(rig->countLog("Erasing 0x76000 bytes from 0xa000\r\n"), 2);
    EXPECT_EQ(rig->countLog("Erasing 0x15000 bytes from 0x80000\r\n"), 2);
    EXPECT_FALSE(rig->sawDetail("Flashing did not complete"));
    EXPECT_EQ(activityCount(gps, "JUMP_TO_BL"), 2);
}

}  // namespace
}  // namespace e2e
