#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "core/GpsDrive.h"

namespace {

using Ops = std::vector<std::string>;

class EjectTest : public testing_support::SimGpsTest {
  protected:
    void SetUp() override {
        SimGpsTest::SetUp();
        gps = &addGps();
        gps->plugIn();
        root = gps->driveRoot();
        letterLine = [this](const char* words) {
            return std::string("Media in Drive QUORTA") + words;  // by its label
        };
    }
    int64_t ejectAndMeasure(const std::string& which) {
        int64_t before = clock.totalSleptMs();
        core::ejectGpsDrive(which);
        return clock.totalSleptMs() - before;
    }

    sim::SimulatedGps* gps = nullptr;
    std::string root;
    std::function<std::string(const char*)> letterLine;
};

TEST_F(EjectTest, EjectedSafely) {
    EXPECT_EQ(ejectAndMeasure(root), 0);
    EXPECT_EQ(machine->ejector().operations(),
              (Ops{"open " + root, "lock", "dismount", "allowRemoval", "eject", "close"}));
    EXPECT_EQ(logLines(), (Ops{letterLine(" has been ejected safely.\r\n")}));
    EXPECT_FALSE(gps->driveMounted());
}

// A drive without a label is named by where it was mounted, whole.
TEST_F(EjectTest, AnUnlabelledDriveIsNamedByItsMountPoint) {
    sim::GpsConfig config;
    config.driveStyle = sim::DriveStyle::UnlabelledWithFolder;
    sim::SimulatedGps& other = addGps(config);
    other.plugIn();
    const std::string otherRoot = other.driveRoot();
    core::ejectGpsDrive(otherRoot);
    EXPECT_EQ(logLines(), (Ops{"Media in Drive " + otherRoot.substr(0, otherRoot.size() - 1) +
                               " has been ejected safely.\r\n"}));
}

TEST_F(EjectTest, LockRefusedTwentyTimesStillDismounts) {
    machine->ejector().setFaults({.lockRefusals = -1});
    EXPECT_EQ(ejectAndMeasure(root), 20 * 500);
    Ops ops = machine->ejector().operations();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "lock failed"), 20);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "lock"), 0);
    EXPECT_EQ(ops[21], "dismount");
    EXPECT_EQ(logLines(), (Ops{letterLine(" has been ejected safely.\r\n")}));
}

TEST_F(EjectTest, EjectRefusedAfterDismount) {
    machine->ejector().setFaults({.ejectFails = true});
    core::ejectGpsDrive(root);
    EXPECT_EQ(logLines(), (Ops{letterLine(" can be safely removed.\r\n")}));
    EXPECT_FALSE(gps->driveMounted());
}

TEST_F(EjectTest, DismountRefusedLogsNothing) {
    machine->ejector().setFaults({.dismountFails = true});
    core::ejectGpsDrive(root);
    EXPECT_EQ(machine->ejector().operations(),
              (Ops{"open " + root, "lock", "dismount failed", "close"}));
    EXPECT_TRUE(logLines().empty());
    EXPECT_TRUE(gps->driveMounted());
}

TEST_F(EjectTest, NoVolumeBehindTheRoot) {
    EXPECT_EQ(ejectAndMeasure("/nowhere/"), 0);
    EXPECT_TRUE(logLines().empty());
    EXPECT_EQ(machine->ejector().operations(), (Ops{"open /nowhere/ failed"}));
    core::ejectGpsDrive("");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(EjectTest, EjectedDriveIsGoneUntilTheDeviceRestarts) {
    core::ejectGpsDrive(root);
    std::vector<platform::VolumeInfo> volumes;
    ASSERT_TRUE(machine->volumes().list(volumes));
    EXPECT_TRUE(volumes.empty());
    core::ejectGpsDrive(root);  // a second eject finds nothing
    EXPECT_EQ(logLines().size(), 1u);
    gps->plugIn();
    ASSERT_TRUE(machine->volumes().list(volumes));
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].root, root);
    EXPECT_EQ(volumes[0].label, "QUORTA");
    EXPECT_EQ(volumes[0].fileSystem, "FAT32");
    EXPECT_TRUE(volumes[0].removable);
}

}  // namespace
