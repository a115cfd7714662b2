// Devices that come up in the microcontroller's ROM bootloader, recovered
// through the recovery dialog's choice, and bootloaders that only open after
// a few tries.
#include <gtest/gtest.h>

#include "E2eTest.h"
#include "sim/BootloaderTarget.h"
#include "sim/SimulatedFirmware.h"

namespace e2e {
namespace {

bool received(const sim::BootloaderTarget& target, uint8_t tag) {
    const auto tags = target.receivedCommands();
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

class RecoveryTest : public UpdateE2eTest {
  protected:
    bool waitForRecoveryDialog() {
        return rig->waitFor(
            [this] {
                return rig->window.recoveryDialogsOpened() > 0 && rig->window.idle() &&
                       rig->threads.running() == 0;
            },
            30s);
    }
};

TEST_F(RecoveryTest, RomBootloaderHeronIsRecoveredAsJapanese) {
    sim::SimulatedGps& gps = addGps(gpsConfig(5, true, 7, 62));
    gps.plugIn(sim::GpsMode::RomBootloader);
    rig->startUp();
    ASSERT_TRUE(waitForRecoveryDialog());
    EXPECT_TRUE(rig->logged("idx:(0)-VID_15A2\r\n"));

    rig->chooseInRecoveryDialog(5, 60);
    ASSERT_TRUE(waitForLatest());

    EXPECT_TRUE(rig->logged("onEmergencyProgramFlashMode DeviceTypeToFlash [5] Variant [60]\r\n"));
    EXPECT_EQ(core::state().GRawDevID, 65);
    EXPECT_EQ(core::state().forcedDeviceType, -1);
    // No erase on this road: written and reset.
    EXPECT_FALSE(received(gps.romBootloader(), sim::protocol::kCommandTag_FlashEraseRegion));
    EXPECT_TRUE(received(gps.romBootloader(), sim::protocol::kCommandTag_WriteMemory));
    EXPECT_TRUE(received(gps.romBootloader(), sim::protocol::kCommandTag_Reset));
    images::ImageVersion v;
    EXPECT_EQ(gps.checkFlashImage(&v), images::ImageCheck::ok);
    EXPECT_EQ(v, (images::ImageVersion{5, 60, 7, 63}));
    EXPECT_EQ(core::state().statusTitle(), "Heron GPS connected\nVer: 7.63-1031039\nJapanese");
}

TEST_F(RecoveryTest, UpdateCutOffInTheWriteComesBackInTheRomBootloaderAndIsRecovered) {
    sim::SimulatedGps& gps = connect(gpsConfig(5, true, 7, 62));
    sim::UnplugPlan plan;
    plan.step = sim::GpsStep::Write;
    plan.afterDataPackets = 4000;
    plan.plugBackAfterMs = 3000;
    gps.unplugAt(plan);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();

    ASSERT_TRUE(waitForRecoveryDialog());
    // The cut-off write was not taken for a success.
    EXPECT_FALSE(rig->sawTitle("Heron GPS Flashing success"));
    EXPECT_TRUE(rig->sawDetail("Flashing did not complete"));
    EXPECT_EQ(gps.mode(), sim::GpsMode::RomBootloader);

    rig->chooseInRecoveryDialog(5, 60);
    ASSERT_TRUE(waitForLatest());
    images::ImageVersion v;
    EXPECT_EQ(gps.checkFlashImage(&v), images::ImageCheck::ok);
    EXPECT_EQ(v, (images::ImageVersion{5, 60, 7, 63}));
    EXPECT_EQ(core::state().statusTitle(), "Heron GPS connected\nVer: 7.63-1031039\nJapanese");
    EXPECT_FALSE(rig->window.destroyed());
}

// A device with 8 KiB sectors whose flash bootloader does not tell them:
// the tail erase in 4 KiB sectors is refused, the write over the old image's
// tail fails with the device's own status, and the device comes back in its
// ROM bootloader, where the recovery dialog brings it back.
TEST_F(RecoveryTest, RefusedTailEraseEndsInTheRomBootloaderAndIsRecovered) {
    sim::GpsConfig config = gpsConfig(11, true, 14, 50);
    config.flashSectorSize = 0x2000;
    sim::SimulatedGps& gps = addGps(config);
    gps.flashBootloader().removeProperty(sim::protocol::kProperty_FlashSectorSize);
    // An old image that runs past 0x80000 too.
    gps.loadFlashImage(sim::makeFirmwareImage({11, 60, 14, 50}, 570'000));
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();

    ASSERT_TRUE(waitForRecoveryDialog());
    EXPECT_TRUE(
        rig->logged("Flash erase past the region refused: kStatus_FlashAlignmentError\r\n"));
    EXPECT_FALSE(rig->sawTitle("Condor GPS Flashing success"));
    EXPECT_TRUE(rig->sawDetail("Flashing did not complete"));
    EXPECT_EQ(gps.mode(), sim::GpsMode::RomBootloader);

    rig->chooseInRecoveryDialog(11, 60);
    ASSERT_TRUE(waitForLatest());
    EXPECT_TRUE(
        rig->logged("The device refused the write: erasing the flash and writing once more\r\n"));
    images::ImageVersion v;
    EXPECT_EQ(gps.checkFlashImage(&v), images::ImageCheck::ok);
    EXPECT_EQ(v, (images::ImageVersion{11, 60, 14, 51}));
}

TEST_F(RecoveryTest, FlashBootloaderThatOpensOnlyAfterAFewTries) {
    sim::GpsConfig config = gpsConfig(5, true, 7, 62);
    config.faults.bootloaderOpenFailures = 3;
    connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    // The driver wait asks until the node opens and answers: the erase then
    // finds it ready and needs no retry.
    bool answered = false;
    for (const std::string& line : rig->log())
        answered |= line.rfind("Driver wait: bootloader answered after", 0) == 0;
    EXPECT_TRUE(answered);
    EXPECT_EQ(rig->countLog("Erase Crash - retrying\n\r"), 0);
    EXPECT_EQ(core::programmingErrorCounts().erase, 0);
}

TEST_F(RecoveryTest, RomBootloaderThatOpensOnlyAfterAFewTries) {
    sim::SimulatedGps& gps = addGps(gpsConfig(5, true, 7, 62));
    gps.plugIn(sim::GpsMode::RomBootloader);
    sim::BootloaderFaults faults;
    faults.openFailures = 3;
    gps.romBootloader().setFaults(faults);
    rig->startUp();
    ASSERT_TRUE(waitForRecoveryDialog());

    rig->chooseInRecoveryDialog(5, 60);
    ASSERT_TRUE(waitForLatest());
    EXPECT_EQ(rig->countLog("Program Crash - retrying\n\r"), 3);
    EXPECT_EQ(core::programmingErrorCounts().program, 3);
}

}  // namespace
}  // namespace e2e
