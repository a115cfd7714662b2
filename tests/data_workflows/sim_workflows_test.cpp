// The data workflows against the simulated GPS: its radio checks the files
// the updater put on its drive, its font loader answers with letters, its
// factory reset empties the Quorta folder the backup saved, and its drive can
// be read-only for real.
#include <gtest/gtest.h>

#include <future>

#include "DataTestSupport.h"
#include "core/Backup.h"
#include "core/DriveWriteCheck.h"
#include "core/LanguagePacks.h"
#include "core/Maintenance.h"
#include "core/Nordic.h"
#include "core/StatusReporting.h"
#include "sim/SimulatedMachine.h"

namespace {

namespace fs = std::filesystem;
using core::BackupOutcome;
using namespace testing_support;  // the data helpers

constexpr int64_t kSettleMs = 60'000;

class SimWorkflowTest : public testing_support::DataTest {
  protected:
    void SetUp() override {
        DataTest::SetUp();
        machine = std::make_unique<sim::SimulatedMachine>(&clock);
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
        applyServices();
        // The waits really pass (scaled), so the device's timed changes run.
        core::reportCallbacks().waitSeconds = [this](int s) {
            {
                std::lock_guard lock(statusMutex);
                waits.push_back(s);
            }
            core::sleepSeconds(s);
        };
    }
    void TearDown() override {
        machine.reset();
        DataTest::TearDown();
    }

    sim::SimulatedGps& plugIn(int type, int major, int minor, sim::GpsFaults faults = {}) {
        sim::GpsConfig config;
        config.deviceType = type;
        config.versionMajor = major;
        config.versionMinor = minor;
        config.faults = faults;
        sim::SimulatedGps& gps = machine->addGps(config);
        gps.plugIn(sim::GpsMode::Application);
        core::state().setGpsDriveRoot(gps.driveRoot());
        connect(type, major, minor, 60);
        return gps;
    }

    // Back in application mode with its drive, after a restart.
    void waitForReturn(sim::SimulatedGps& gps) {
        ASSERT_TRUE(gps.waitUntilSettled(kSettleMs));
        ASSERT_TRUE(gps.waitForMode(sim::GpsMode::Application, kSettleMs));
        ASSERT_TRUE(gps.waitForDrive(true, kSettleMs));
    }

    // A fresh computer, with no GPS plugged in.
    void newMachine() {
        core::setServices(core::Services{});
        machine.reset();
        machine = std::make_unique<sim::SimulatedMachine>(&clock);
        services.usbDevices = &machine->usbDevices();
        services.volumes = &machine->volumes();
        services.volumeEjector = &machine->ejector();
        applyServices();
    }

    bool didActivity(sim::SimulatedGps& gps, const std::string& part) {
        for (const std::string& line : gps.activity())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

    std::unique_ptr<sim::SimulatedMachine> machine;
};

TEST_F(SimWorkflowTest, RadioUpdateOfType13IsAcceptedByTheDevice) {
    sim::SimulatedGps& gps = plugIn(13, 14, 51);
    // An older radio than the one carried for this type, so the update shows.
    gps.setRadioBuild(sim::kCarriedRadioBuild);
    ASSERT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, sim::kCarriedRadioBuild);

    ASSERT_TRUE(core::updateNordic());
    EXPECT_TRUE(statusWith("", "Waiting for Device."));
    EXPECT_TRUE(statusWith("", "50% done"));
    // The drive was ejected before the device was told to use the files.
    EXPECT_TRUE(logged("Media in Drive QUORTA has been ejected safely.\r\n"));
    waitForReturn(gps);
    EXPECT_TRUE(didActivity(gps, "radio programmed"));
    EXPECT_FALSE(didActivity(gps, "radio update refused"));
    EXPECT_EQ(gps.radioBuild(), sim::currentRadioBuildFor(13));

    core::state().deviceRadioBuild = 0;
    ASSERT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, sim::currentRadioBuildFor(13));
}

TEST_F(SimWorkflowTest, RadioFaults) {
    sim::GpsFaults faults;
    faults.radioUpdateFails = true;
    sim::SimulatedGps& gps = plugIn(14, 14, 51, faults);
    EXPECT_FALSE(core::updateNordic());
    bool reported = false;
    for (const std::string& line : logLines())
        if (line.rfind("ANT_UPDATE_FAILED [", 0) == 0) reported = true;
    EXPECT_TRUE(reported);
    EXPECT_FALSE(statusWith("Heron Ultra\nError updating wireless firmware"));

    // A radio that never answers the update.
    gps.plugIn(sim::GpsMode::Application);
    faults.radioUpdateFails = false;
    faults.radioUpdateSilent = true;
    gps.setFaults(faults);
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(statusWith("Heron Ultra\nError updating wireless firmware"));
}

TEST_F(SimWorkflowTest, FontsAreLoadedByTheDevice) {
    plugIn(5, 7, 63);
    ASSERT_TRUE(core::updateLanguagePacks());
    EXPECT_TRUE(statusWith("", "Language Pack 1 of 2 done!\nDevice Loading..."));
    EXPECT_TRUE(statusWith("", "Language Pack 2 of 2 done!"));

    newMachine();
    plugIn(11, 14, 51);
    ASSERT_TRUE(core::updateLanguagePacks());
    EXPECT_TRUE(statusWith("", "Language Pack condor done!"));

    newMachine();
    sim::GpsFaults faults;
    faults.fontFailAfterPacks = 1;  // 'A', then 'D'
    sim::SimulatedGps& failing = plugIn(5, 7, 63, faults);
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(didActivity(failing, "fonts: D"));
}

TEST_F(SimWorkflowTest, BackupSurvivesTheFactoryResetAndComesBackBitForBit) {
    sim::SimulatedGps& gps = plugIn(13, 12, 40);
    const std::string quorta = gps.driveRoot() + "Quorta";
    writeBytes(quorta + "/Settings.dat", binaryBytes(2048, 11));
    writeBytes(quorta + "/Activities/2024/ride.fit", binaryBytes(250000, 12));
    writeBytes(quorta + "/Routes/home.gpx", binaryBytes(999, 13));

    BackupOutcome outcome = BackupOutcome::Skipped;
    ASSERT_TRUE(core::saveGpsDataToLocal(core::deviceRecord().snapshot(), &outcome));
    EXPECT_EQ(outcome, BackupOutcome::Made);
    EXPECT_TRUE(core::state().resetBeforeNordic);

    ASSERT_TRUE(core::factoryReset());
    waitForReturn(gps);
    EXPECT_TRUE(didActivity(gps, "factory reset: Quorta folder emptied"));
    EXPECT_FALSE(fs::exists(quorta + "/Settings.dat"));

    ASSERT_TRUE(core::saveLocalDataToGps());
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_EQ(readBytes(quorta + "/Settings.dat"), binaryBytes(2048, 11));
    EXPECT_EQ(readBytes(quorta + "/Activities/2024/ride.fit"), binaryBytes(250000, 12));
    EXPECT_EQ(readBytes(quorta + "/Routes/home.gpx"), binaryBytes(999, 13));
}

TEST_F(SimWorkflowTest, AReadOnlyDrive) {
    sim::SimulatedGps& gps = plugIn(13, 12, 40);
    writeBytes(gps.driveRoot() + "Quorta/Settings.dat", binaryBytes(100, 1));
    // A backup made while the drive took files.
    BackupOutcome outcome = BackupOutcome::Skipped;
    ASSERT_TRUE(core::saveGpsDataToLocal(core::deviceRecord().snapshot(), &outcome));
    sim::GpsFaults faults;
    faults.driveReadOnly = true;
    gps.setFaults(faults);  // once the scene is set

    // Nothing is tried on it: the restore keeps the backup and says where,
    // the radio and font files are not copied, and no test file is left.
    // (The restore only writes what the drive lacks: here a file the backup
    // has besides, so that it has something to try.)
    writeBytes(backupDir() + "/Routes/home.gpx", binaryBytes(10, 2));
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_TRUE(core::state().backupDone);
    const std::string why =
        std::string(core::kDriveReadOnlyReason) + "\n" + core::kDriveNotWritableAdvice;
    EXPECT_TRUE(
        statusWith(core::kRestoreFailedTitle, why + "\nYour data is kept in " + backupDir()));
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(statusWith(core::kDriveNotWritableTitle, why));
    for (const std::string& line : logLines()) EXPECT_NE(line.rfind("xfer ", 0), 0u) << line;
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_FALSE(fs::exists(gps.driveRoot() + core::kDriveTestFileName));
    EXPECT_EQ(readBytes(gps.driveRoot() + "Quorta/Settings.dat"), binaryBytes(100, 1));
}

TEST_F(SimWorkflowTest, EraseKeysHearsTheRadioAndEnds) {
    plugIn(5, 7, 63);
    core::state().deviceRadioBuild = 1031039;
    auto done = std::async(std::launch::async, [] { return core::eraseNordicKeys(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_EQ(core::state().deviceRadioBuild, 0);
    EXPECT_TRUE(logged("Erasing bonding keys\r\n"));
    EXPECT_TRUE(logged("Bonding keys erased\r\n"));
}

}  // namespace
