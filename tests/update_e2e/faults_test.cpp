// The update against a GPS that misbehaves: pulled out at each step, a radio
// that refuses or stays silent, fonts it cannot load, odd version texts, and
// drives that are missing, read-only or out of room. Every run must end with
// the program alive (or ended through its own WM_DESTROY), nothing left
// running, and the user's files either on the GPS or in the backup.
#include <gtest/gtest.h>

#include "E2eTest.h"
#include "core/Backup.h"
#include "core/DriveWriteCheck.h"
#include "core/UpdateWorkers.h"

namespace e2e {
namespace {

bool activityHas(const sim::SimulatedGps& gps, const std::string& prefix) {
    for (const std::string& line : gps.activity())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

images::ImageVersion flashVersion(const sim::SimulatedGps& gps) {
    images::ImageVersion v;
    EXPECT_EQ(gps.checkFlashImage(&v), images::ImageCheck::ok);
    return v;
}

class FaultsTest : public UpdateE2eTest {
  protected:
    // A device of the type with an outdated radio, so that its radio update
    // has to run.
    static sim::GpsConfig heronWithOldRadio() {
        sim::GpsConfig c = gpsConfig(5, true, 7, 62);
        c.radioBuild = 1021000;
        return c;
    }

    bool endedByItsOwnDestroy() {
        for (const Box& b : rig->window.boxes())
            if (b.caption == core::kWirelessProblemCaption) return rig->window.destroyed();
        return false;
    }
};

// --- Pulled out at each step ---------------------------------------------------

struct UnplugCase {
    sim::GpsStep step;
    bool plugBack;
};

std::string unplugCaseName(const ::testing::TestParamInfo<UnplugCase>& info) {
    return std::string(sim::gpsStepName(info.param.step)) +
           (info.param.plugBack ? "PluggedBack" : "LeftOut");
}

class UnplugTest : public FaultsTest, public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(UnplugTest, TheProgramLivesOnAndTheDataIsKept) {
    const UnplugCase c = GetParam();
    auto [gps, quorta, before] = addRidersGps();
    sim::UnplugPlan plan;
    plan.step = c.step;
    plan.afterDataPackets = c.step == sim::GpsStep::Write ? 2000 : -1;
    plan.plugBackAfterMs = c.plugBack ? 4000 : -1;
    gps.unplugAt(plan);
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());

    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return activityHas(gps, "unplugged at"); }, 60s))
        << "the device never reached the step";
    ASSERT_TRUE(rig->waitQuiet(gps, 120s)) << "something kept running";

    // Nothing claims success for a write that was cut off.
    if (c.step == sim::GpsStep::Write) {
        EXPECT_FALSE(rig->sawTitle("Osprey Max Flashing success"));
    }
    const bool onDrive = snapshotTree(quorta) == before;
    const bool inBackup = snapshotTree(core::backupFolder()) == before;
    EXPECT_TRUE(onDrive || inBackup) << "the user's files are neither on the GPS nor backed up";
    // A program that ended did so through its own end.
    if (rig->window.destroyed()) {
        EXPECT_FALSE(rig->window.boxes().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, UnplugTest,
                         ::testing::Values(UnplugCase{sim::GpsStep::JumpToBootloader, false},
                                           UnplugCase{sim::GpsStep::JumpToBootloader, true},
                                           UnplugCase{sim::GpsStep::BootloaderShown, false},
                                           UnplugCase{sim::GpsStep::BootloaderShown, true},
                                           UnplugCase{sim::GpsStep::Erase, true},
                                           UnplugCase{sim::GpsStep::Write, false},
                                           UnplugCase{sim::GpsStep::Write, true},
                                           UnplugCase{sim::GpsStep::BootloaderReset, true},
                                           UnplugCase{sim::GpsStep::FactoryReset, true},
                                           UnplugCase{sim::GpsStep::RadioUpdate, true},
                                           UnplugCase{sim::GpsStep::RadioProgramming, false},
                                           UnplugCase{sim::GpsStep::RadioProgramming, true},
                                           UnplugCase{sim::GpsStep::FontLoading, true}),
                         unplugCaseName);

// --- The radio and the fonts -------------------------------------------------------

TEST_F(FaultsTest, RadioThatRefusesItsUpdateEndsTheProgramWithItsMessage) {
    sim::GpsConfig config = heronWithOldRadio();
    config.faults.radioUpdateFails = true;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->window.destroyed(); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));

    EXPECT_EQ(rig->countLog("Sending UPDATE_NORDIC command\r\n"), 3);
    ASSERT_EQ(rig->window.boxes().size(), 2u);
    EXPECT_EQ(rig->window.boxes()[1].caption, core::kWirelessProblemCaption);
    EXPECT_EQ(rig->window.boxes()[1].text, core::kRestartAndRetryText);
    // The main firmware was written before the radio failed.
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{5, 60, 7, 63}));
}

TEST_F(FaultsTest, FontsTheGpsCannotLoadAreReportedAndTheRunGoesOn) {
    sim::GpsConfig config = gpsConfig(11, true, 14, 40);
    config.faults.fontFailAfterPacks = 0;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor(
        [&] {
            for (const Box& b : rig->window.boxes())
                if (b.caption == core::kWorkerLanguagePackCaption) return true;
            return false;
        },
        60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    EXPECT_EQ(rig->window.boxes().back().text, core::kWorkerLanguagePackFailedText);
    EXPECT_FALSE(rig->window.destroyed());
    EXPECT_FALSE(core::state().languagePackBusy);
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{11, 60, 14, 51}));
}

TEST_F(FaultsTest, SilentRadioOfAHeronEndsTheUpdateAfterItsFirmware) {
    sim::GpsConfig config = gpsConfig(5, true, 7, 62);
    config.faults.silentRadio = true;
    sim::SimulatedGps& gps = connect(config);
    // No version, no offer: the error and the OK button.
    ASSERT_TRUE(rig->waitFor(
        [&] { return rig->sawTitle("Heron GPS\nError check version wireless firmware"); }, 30s));
    ASSERT_TRUE(rig->waitQuiet(gps, 30s));
    EXPECT_EQ(rig->window.buttonText(), "OK");
    EXPECT_FALSE(rig->logged("SPECIAL BUILD - CONDOR SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n"));

    // Forced from the menu, the firmware goes on; the radio still cannot be
    // asked, and the program ends with its message.
    rig->forceUpdate();
    ASSERT_TRUE(rig->waitFor([&] { return rig->window.destroyed(); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    EXPECT_EQ(rig->window.boxes().back().text, core::kNoCommunicationText);
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{5, 60, 7, 63}));
}

TEST_F(FaultsTest, RadioVersionWithTwoDotsIsAskedAgainAndNeverTakenForCurrent) {
    sim::GpsConfig config = gpsConfig(5, true, 7, 62);
    config.faults.radioVersionTwoDots = true;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return activityHas(gps, "radio programmed"); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));

    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{5, 60, 7, 63}));
    EXPECT_EQ(core::state().deviceRadioBuild, 0);
    EXPECT_NE(core::state().statusDetail(), "Latest software is installed on device");
    EXPECT_FALSE(rig->window.destroyed());
}

// --- Drives ---------------------------------------------------------------------------

TEST_F(FaultsTest, WithoutItsDriveTheGpsIsNotOffered) {
    sim::GpsConfig config = gpsConfig(5, true, 7, 62);
    config.faults.driveMissing = true;
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(rig->waitFor([&] { return rig->countLog("\r\ndeviceScan BEGIN\r\n") >= 2; }, 30s));
    ASSERT_TRUE(rig->waitQuiet(gps, 30s));
    EXPECT_FALSE(rig->window.buttonVisible());
    EXPECT_EQ(core::state().statusTitle(), core::kConnectTitle);
    EXPECT_TRUE(gps.activity().size() > 0);
    EXPECT_FALSE(activityHas(gps, "JUMP_TO_BL"));
}

TEST_F(FaultsTest, ReadOnlyDriveChangesNothingOnTheGps) {
    auto [gps, quorta, before] = addRidersGps();
    sim::GpsConfig config = gps.config();
    config.faults.driveReadOnly = true;
    gps.setFaults(config.faults);
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());

    // The factory reset this update owes would empty a drive that could not
    // be filled again: the update stops before the firmware is touched.
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->sawTitle(core::kDriveNotWritableTitle); }, 30s));
    ASSERT_TRUE(rig->waitQuiet(gps, 30s));
    EXPECT_TRUE(rig->sawDetail(std::string(core::kDriveReadOnlyReason) + "\n" +
                               core::kDriveNotWritableAdvice));
    EXPECT_FALSE(activityHas(gps, "JUMP_TO_BL"));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{13, 60, 12, 40}));
    EXPECT_EQ(snapshotTree(quorta), before);
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_FALSE(core::state().updateInProgress);
    EXPECT_FALSE(rig->window.destroyed());
    EXPECT_TRUE(rig->window.buttonVisible());
}

TEST_F(FaultsTest, FullStagingDiskNeverPutsAShortRadioImageOnTheGps) {
    sim::SimulatedGps& gps = connect(heronWithOldRadio());
    rig->files.fullBelow = rig->paths->stagingDir();
    rig->files.budget = 4096;
    ASSERT_FALSE(rig->files.fullBelow.empty());
    ASSERT_TRUE(waitForOffer());

    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->window.destroyed(); }, 90s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));
    EXPECT_TRUE(endedByItsOwnDestroy());
    EXPECT_FALSE(std::filesystem::exists(gps.driveFolder() + "/nrf_update.bin"));
    EXPECT_FALSE(activityHas(gps, "UPDATE_NORDIC"));
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{5, 60, 7, 63}));
}

TEST_F(FaultsTest, BackupThatCannotBeMadeLeavesTheGpsAsItWas) {
    auto [gps, quorta, before] = addRidersGps();
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());

    rig->files.failCopyTree = true;
    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->sawTitle(core::kBackupFailedTitle); }, 30s));
    ASSERT_TRUE(rig->waitQuiet(gps, 30s));

    EXPECT_TRUE(rig->logged("Backup failed: update stopped before JUMP_TO_BL\r\n"));
    EXPECT_FALSE(activityHas(gps, "JUMP_TO_BL"));
    EXPECT_EQ(gps.mode(), sim::GpsMode::Application);
    EXPECT_EQ(snapshotTree(quorta), before);
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_FALSE(core::state().resetBeforeNordic);
    EXPECT_FALSE(core::state().updateInProgress);
    EXPECT_FALSE(core::state().reverseUpgrade);
    EXPECT_EQ(core::state().statusDetail(), core::kBackupFailedDetail);
    EXPECT_EQ(core::updatePhases().current(), core::UpdatePhase::Failed);
    // The offer stands for another try.
    EXPECT_TRUE(rig->window.buttonVisible());
    EXPECT_EQ(rig->window.buttonText(), "Update to 14.51");
    EXPECT_FALSE(rig->window.destroyed());
}

TEST_F(FaultsTest, RestoreThatFailsKeepsItsMessageInViewAndTheBackupHeld) {
    auto [gps, quorta, before] = addRidersGps();
    rig->files.failCopyTreeInto = gps.driveFolder();
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());

    rig->clickUpdateButton();
    ASSERT_TRUE(rig->waitFor([&] { return rig->sawTitle(core::kRestoreFailedTitle); }, 60s));
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));

    // Updated all the same, but the window says where the data is instead
    // of "Latest software is installed on device".
    EXPECT_TRUE(rig->logged("WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n"));
    EXPECT_EQ(core::state().statusTitle(), core::kRestoreFailedTitle);
    EXPECT_EQ(core::state().statusDetail(), "Your data is kept in " + core::backupFolder());
    EXPECT_TRUE(core::state().backupDone);
    EXPECT_EQ(core::heldBackupFolders(), std::vector<std::string>{core::backupFolder()});
    EXPECT_FALSE(core::state().updateInProgress);
    EXPECT_EQ(snapshotTree(core::backupFolder()), before);
    EXPECT_EQ(flashVersion(gps), (images::ImageVersion{13, 60, 14, 51}));
}

}  // namespace
}  // namespace e2e
