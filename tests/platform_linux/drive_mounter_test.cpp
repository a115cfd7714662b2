#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "MockUDisks.h"
#include "TempDir.h"
#include "platform/linux/UDisksDriveMounter.h"
#include "platform/linux/UDisksVolumeEjector.h"

namespace {

using Kind = platform::DriveMountEvent::Kind;
using testing_support::MockUDisks;
using testing_support::TempDir;

// The GPS volume of the mock: sdb1, 8:17.
const uint64_t kGpsVolume = makedev(8, 17);

class DriveMounterTest : public ::testing::Test {
  protected:
    // A mount table without the GPS volume, and the volume present.
    void SetUp() override {
        mountInfo = dir.write("mountinfo", "22 1 254:0 / / rw - ext4 /dev/vda rw\n");
        present = {{"/dev/sdb1", kGpsVolume, "plug-1"}};
    }

    platform::UDisksDriveMounter mounter(const std::string& address) {
        return platform::UDisksDriveMounter(
            address, [this] { return present; }, mountInfo);
    }

    TempDir dir;
    std::string mountInfo;
    std::vector<platform::GpsFileSystem> present;
};

TEST_F(DriveMounterTest, MountsAnUnmountedGpsDriveOnceAndGivesItBack) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "Mounted": false})");
    platform::UDisksDriveMounter m = mounter(mock.address());

    std::vector<platform::DriveMountEvent> events = m.mountUnmounted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Mounted) << events[0].reason;
    EXPECT_EQ(events[0].device, "/dev/sdb1");
    EXPECT_EQ(events[0].mountPoint, "/media/rider/QUORTA");
    // Asked again while it stays: nothing more to do.
    EXPECT_TRUE(m.mountUnmounted().empty());
    EXPECT_EQ(mock.calls({"Mount", "Unmount"}), std::vector<std::string>{"Mount"});

    events = m.releaseMounts();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Unmounted) << events[0].reason;
    EXPECT_EQ(events[0].mountPoint, "/media/rider/QUORTA");
    EXPECT_EQ(mock.calls({"Mount", "Unmount"}), (std::vector<std::string>{"Mount", "Unmount"}));
    EXPECT_TRUE(m.releaseMounts().empty());  // given back once
}

TEST_F(DriveMounterTest, LeavesWhatTheSafeRemovalTookAndWhatOthersMounted) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "Mounted": false})");
    platform::UDisksDriveMounter m = mounter(mock.address());
    ASSERT_EQ(m.mountUnmounted().size(), 1u);

    // The safe removal unmounts it before the GPS is told to use its files:
    // it is not mounted again behind its back, nor unmounted twice.
    platform::UDisksVolumeEjector ejector(mock.address());
    auto volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume) << ejector.lastError();
    ASSERT_TRUE(volume->dismount());
    EXPECT_TRUE(m.mountUnmounted().empty());
    EXPECT_TRUE(m.releaseMounts().empty());
    EXPECT_EQ(mock.calls({"Mount", "Unmount"}), (std::vector<std::string>{"Mount", "Unmount"}));

    // The GPS comes again, and the desktop has mounted it this time.
    present[0].appearance = "plug-2";
    dir.write("mountinfo",
              "22 1 254:0 / / rw - ext4 /dev/vda rw\n"
              "90 22 8:17 / /media/rider/QUORTA rw - vfat /dev/sdb1 rw\n");
    EXPECT_TRUE(m.mountUnmounted().empty());
    EXPECT_TRUE(m.releaseMounts().empty());
    EXPECT_EQ(mock.calls({"Mount", "Unmount"}).size(), 2u);
}

TEST_F(DriveMounterTest, ARefusedMountIsToldOnceUntilTheGpsComesAgain) {
    MockUDisks mock;
    START_MOCK(mock, R"({"Mounted": false, "MountRefused": true})");
    platform::UDisksDriveMounter m = mounter(mock.address());

    std::vector<platform::DriveMountEvent> events = m.mountUnmounted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Refused);
    EXPECT_NE(events[0].reason.find("NotAuthorized"), std::string::npos) << events[0].reason;
    EXPECT_TRUE(m.mountUnmounted().empty());
    EXPECT_EQ(mock.refusals("Mount"), 1);

    present[0].appearance = "plug-2";
    ASSERT_EQ(m.mountUnmounted().size(), 1u);
    EXPECT_EQ(mock.refusals("Mount"), 2);
    EXPECT_TRUE(m.releaseMounts().empty());  // nothing of ours to give back
}

TEST_F(DriveMounterTest, WithoutUDisks2TheDriveIsRefusedWithTheReason) {
    testing_support::MockBus bus;
    START_MOCK_BUS(bus.startBus());
    platform::UDisksDriveMounter m = mounter(bus.address());
    std::vector<platform::DriveMountEvent> events = m.mountUnmounted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Refused);
    EXPECT_EQ(events[0].reason, "UDisks2 is not running");

    // No GPS file system, or no bus at all: nothing is tried.
    present.clear();
    platform::UDisksDriveMounter none = mounter("unix:path=" + dir.path() + "/no-bus");
    EXPECT_TRUE(none.mountUnmounted().empty());
}

}  // namespace
