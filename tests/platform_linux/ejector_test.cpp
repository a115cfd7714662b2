#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "MockUDisks.h"
#include "TempDir.h"
#include "platform/linux/UDisksVolumeEjector.h"

using testing_support::TempDir;

TEST(EjectorHelpers, PathIsUnderAMountPoint) {
    using platform::pathIsUnder;
    EXPECT_TRUE(pathIsUnder("/media/rider/QUORTA", "/media/rider/QUORTA"));
    EXPECT_TRUE(pathIsUnder("/media/rider/QUORTA/nrf_update.bin", "/media/rider/QUORTA/"));
    EXPECT_FALSE(pathIsUnder("/media/rider/QUORTA2/file", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("/media/rider", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("socket:[1234]", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("", "/media"));
    EXPECT_TRUE(pathIsUnder("/anything", "/"));
    EXPECT_FALSE(pathIsUnder("/anything", ""));
}

TEST(EjectorHelpers, SeesAFileThisProcessHoldsOpen) {
    TempDir dir;
    std::string mount = dir.mkdir("QUORTA");
    EXPECT_FALSE(platform::mountInUse("/proc", mount));
    int fd = ::open(dir.write("QUORTA/nrf_update.bin", "x").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(platform::mountInUse("/proc", mount));
    EXPECT_FALSE(platform::mountInUse("/proc", dir.path() + "/QUORT"));
    ::close(fd);
    EXPECT_FALSE(platform::mountInUse("/proc", mount));
}

namespace {

using testing_support::MockUDisks;

const std::vector<std::string> kUnmountEject = {"Unmount", "Eject"};

}  // namespace

TEST(UDisksVolumeEjector, UnmountsThenEjects) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA"})");
    bool askedToPowerOff = false;
    platform::UDisksVolumeEjector ejector(mock.address(), [&](uint64_t) {
        askedToPowerOff = true;
        return true;
    });

    std::unique_ptr<platform::VolumeHandle> volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume) << ejector.lastError();
    EXPECT_TRUE(volume->lock());  // nothing of ours is open there
    EXPECT_TRUE(volume->dismount());
    EXPECT_TRUE(volume->allowRemoval());
    EXPECT_TRUE(volume->eject());
    EXPECT_FALSE(askedToPowerOff);
    EXPECT_EQ(mock.calls(), kUnmountEject);

    // Unmounted now: a second dismount has nothing to do and asks nothing.
    EXPECT_TRUE(volume->dismount());
    EXPECT_EQ(mock.calls(), kUnmountEject);
}

TEST(UDisksVolumeEjector, OpensOnlyAMountedVolume) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA"})");
    platform::UDisksVolumeEjector ejector(mock.address());
    EXPECT_TRUE(ejector.open("/media/rider/QUORTA"));  // without the trailing slash too
    EXPECT_FALSE(ejector.open("/media/rider/OTHER/"));
    EXPECT_NE(ejector.lastError().find("/media/rider/OTHER"), std::string::npos);
    EXPECT_FALSE(ejector.open("/media/rider"));
    EXPECT_FALSE(ejector.open(""));
    EXPECT_FALSE(ejector.open("E:\\"));
    EXPECT_TRUE(mock.calls().empty());
}

TEST(UDisksVolumeEjector, ABusyUnmountIsReportedAsAFailedDismount) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "UnmountFails": true})");
    platform::UDisksVolumeEjector ejector(mock.address());
    auto volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume);
    EXPECT_FALSE(volume->dismount());
    EXPECT_EQ(mock.calls(), std::vector<std::string>{"Unmount"});
}

TEST(UDisksVolumeEjector, PowersOffOnlyWhenThePolicyAllows) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "EjectFails": true})");
    uint64_t askedFor = 0;
    bool allow = false;
    platform::UDisksVolumeEjector ejector(mock.address(), [&](uint64_t devnum) {
        askedFor = devnum;
        return allow;
    });
    auto volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volume->dismount());
    EXPECT_FALSE(volume->eject());  // a composite device is not powered off
    EXPECT_EQ(askedFor, 0x811u);    // the GPS volume's block device, 8:17
    EXPECT_EQ(mock.calls(), kUnmountEject);

    allow = true;
    EXPECT_TRUE(volume->eject());
    EXPECT_EQ(mock.calls(), (std::vector<std::string>{"Unmount", "Eject", "Eject", "PowerOff"}));
}

TEST(UDisksVolumeEjector, LockWaitsForOpenFilesOnTheVolume) {
    TempDir volumeDir;
    std::string mount = volumeDir.mkdir("QUORTA");
    MockUDisks mock;
    START_MOCK(mock, "{\"MountPoint\": \"" + mount + "\"}");
    platform::UDisksVolumeEjector ejector(mock.address());
    auto volume = ejector.open(mount + "/");
    ASSERT_TRUE(volume) << ejector.lastError();

    int fd =
        ::open(volumeDir.write("QUORTA/nrf_update.bin", "image").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(volume->lock());  // a writer still has it open
    ::close(fd);
    EXPECT_TRUE(volume->lock());
    EXPECT_TRUE(mock.calls().empty());  // locking asks UDisks2 for nothing but the mount points
}

TEST(UDisksVolumeEjector, NoBusNoVolume) {
    TempDir dir;
    platform::UDisksVolumeEjector ejector("unix:path=" + dir.path() + "/no-bus");
    EXPECT_FALSE(ejector.open("/media/rider/QUORTA/"));
    EXPECT_NE(ejector.lastError().find("cannot connect"), std::string::npos) << ejector.lastError();
}
