#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TempDir.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/VolumeProbe.h"

using platform::decodeLabelEnc;
using platform::fileSystemName;
using testing_support::TempDir;

TEST(FileSystemName, GivesTheNamesTheDriveSearchKnows) {
    EXPECT_EQ(fileSystemName("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(fileSystemName("vfat", "FAT16"), "FAT");
    EXPECT_EQ(fileSystemName("vfat", "FAT12"), "FAT");
    EXPECT_EQ(fileSystemName("msdos", "FAT16"), "FAT");
    EXPECT_EQ(fileSystemName("exfat", "1.0"), "exFAT");
    EXPECT_EQ(fileSystemName("ntfs", ""), "NTFS");
    EXPECT_EQ(fileSystemName("ntfs3", ""), "NTFS");
    EXPECT_EQ(fileSystemName("ext4", "1.0"), "EXT4");
    EXPECT_EQ(fileSystemName("iso9660", ""), "ISO9660");
    EXPECT_EQ(fileSystemName("", ""), "");
}

TEST(FileSystemName, TellsFat32ByClusterCountWhenUdevDidNotSay) {
    EXPECT_EQ(fileSystemName("vfat", "", 65524), "FAT");
    EXPECT_EQ(fileSystemName("vfat", "", 65525), "FAT32");
    EXPECT_EQ(fileSystemName("vfat", "", 0), "FAT");  // unknown: still a FAT volume
}

TEST(FileSystemName, TakesUdevsTypeForFuseMountsOfBlockDevices) {
    using platform::effectiveFileSystemType;
    EXPECT_EQ(fileSystemName(effectiveFileSystemType("fuseblk", "ntfs"), ""), "NTFS");
    EXPECT_EQ(fileSystemName(effectiveFileSystemType("fuseblk", "exfat"), ""), "exFAT");
    EXPECT_EQ(effectiveFileSystemType("fuseblk", ""), "fuseblk");
    EXPECT_EQ(effectiveFileSystemType("vfat", "ntfs"), "vfat");  // the kernel knows best
}

TEST(VolumeLabel, DecodesUdevsEncodedLabel) {
    EXPECT_EQ(decodeLabelEnc(R"(QUORTA\x20GPS)"), "QUORTA GPS");
    // Non-ASCII: escaped bytes and plain UTF-8 both come out as UTF-8.
    EXPECT_EQ(decodeLabelEnc(R"(V\xc3\xa9lo)"), "V\xC3\xA9lo");
    EXPECT_EQ(decodeLabelEnc("\xE3\x82\xAF\xE3\x82\xA9\xE3\x83\xAB\xE3\x82\xBF"),
              "\xE3\x82\xAF\xE3\x82\xA9\xE3\x83\xAB\xE3\x82\xBF");
    EXPECT_EQ(decodeLabelEnc(R"(A\x2fB)"), "A/B");
}

TEST(VolumeLabel, DropsControlCharactersAndKeepsMalformedEscapes) {
    EXPECT_EQ(decodeLabelEnc(R"(A\x0aB\x00C\x7f)"), "ABC");
    EXPECT_EQ(decodeLabelEnc(R"(A\xZZ)"), R"(A\xZZ)");
    EXPECT_EQ(decodeLabelEnc(R"(A\x4)"), R"(A\x4)");
    EXPECT_EQ(decodeLabelEnc(R"(A\)"), R"(A\)");
    EXPECT_EQ(decodeLabelEnc(""), "");
}

TEST(VolumeLabel, PrefersTheEncodedLabelWhichKeepsSpaces) {
    EXPECT_EQ(platform::volumeLabel(R"(MY\x20QUORTA)", "MY_QUORTA"), "MY QUORTA");
    EXPECT_EQ(platform::volumeLabel("", "QUORTA"), "QUORTA");
    EXPECT_EQ(platform::volumeLabel("", ""), "");
}

TEST(VolumeProbe, SeesUsbInTheDevicePath) {
    using platform::pathIsOnUsb;
    EXPECT_TRUE(pathIsOnUsb("/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdb"));
    EXPECT_TRUE(pathIsOnUsb("/devices/platform/soc/usb10/10-1"));
    EXPECT_FALSE(pathIsOnUsb("/devices/pci0000:00/0000:00:1f.2/ata1/host0/block/sda"));
    EXPECT_FALSE(pathIsOnUsb("/devices/virtual/block/usbdisk"));  // a name, not a bus
    EXPECT_FALSE(pathIsOnUsb("/devices/usb/thing"));
}

namespace {

// A sysfs tree with a USB stick (removable), a USB hard disk (not removable
// but on USB), an internal SATA disk and a virtio disk.
struct FakeSysfs {
    TempDir dir;
    std::string root = dir.path() + "/sys";

    FakeSysfs() {
        const std::string usb =
            "sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/";
        const std::string usbDisk =
            "sys/devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/block/";
        const std::string sata =
            "sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/block/";
        const std::string virtio = "sys/devices/pci0000:00/0000:00:04.0/virtio1/block/";
        dir.write(usb + "sdb/removable", "1\n");
        // The GPS's own USB device, above its mass-storage interface.
        dir.write("sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/idVendor", "2b29\n");
        dir.write("sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/serial", "QG0001\n");
        dir.write(usb + "sdb/sdb1/partition", "1\n");
        dir.write(usbDisk + "sdc/removable", "0\n");
        dir.write(usbDisk + "sdc/sdc1/partition", "1\n");
        dir.write(sata + "sda/removable", "0\n");
        dir.write(sata + "sda/sda1/partition", "1\n");
        dir.write(virtio + "vda/removable", "0\n");
        link("8:16", usb + "sdb");
        link("8:17", usb + "sdb/sdb1");
        link("8:33", usbDisk + "sdc/sdc1");
        link("8:1", sata + "sda/sda1");
        link("254:0", virtio + "vda");
    }
    void link(const std::string& devnum, const std::string& target) {
        dir.symlink("../../" + target.substr(4), "sys/dev/block/" + devnum);
    }
};

}  // namespace

TEST(VolumeProbe, WalksFromPartitionToDiskForRemovable) {
    FakeSysfs sys;
    platform::BlockDeviceInfo stick = platform::probeBlockDevice(sys.root, 8, 17);
    ASSERT_TRUE(stick.found);
    EXPECT_TRUE(stick.removable);
    EXPECT_TRUE(stick.onUsb);
    EXPECT_EQ(stick.diskPath.substr(stick.diskPath.size() - 4), "/sdb");
    // Up to the USB device it belongs to: what ties a drive to its GPS.
    EXPECT_EQ(stick.usbDevicePath, "/devices/pci0000:00/0000:00:14.0/usb2/2-1");
    EXPECT_EQ(stick.usbVendorId, 0x2B29u);
    EXPECT_EQ(stick.usbSerial, "QG0001");

    platform::BlockDeviceInfo whole = platform::probeBlockDevice(sys.root, 8, 16);
    EXPECT_TRUE(whole.removable);

    platform::BlockDeviceInfo usbDisk = platform::probeBlockDevice(sys.root, 8, 33);
    EXPECT_FALSE(usbDisk.removable);
    EXPECT_TRUE(usbDisk.onUsb);
    EXPECT_TRUE(platform::isRemovableDrive(usbDisk));

    platform::BlockDeviceInfo sata = platform::probeBlockDevice(sys.root, 8, 1);
    ASSERT_TRUE(sata.found);
    EXPECT_FALSE(platform::isRemovableDrive(sata));
    EXPECT_EQ(sata.usbDevicePath, "");

    EXPECT_FALSE(platform::probeBlockDevice(sys.root, 9, 9).found);
    EXPECT_FALSE(platform::probeBlockDevice("/nonexistent", 8, 17).found);
}

TEST(LinuxVolumes, ListsBlockMountsWithWhatTheSearchNeeds) {
    FakeSysfs sys;
    std::string table =
        sys.dir.write("mountinfo",
                      "22 27 0:21 / /proc rw - proc proc rw\n"
                      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                      "30 27 0:45 / /run/user/1000 rw - tmpfs tmpfs rw\n"
                      "40 27 8:1 / /home rw - ext4 /dev/sda1 rw\n"
                      "112 27 8:17 / /media/rider/QUORTA\\040GPS rw,nosuid - vfat /dev/sdb1 "
                      "rw,errors=remount-ro\n"
                      "113 27 8:17 /Quorta /mnt/bind rw - vfat /dev/sdb1 rw\n"
                      "114 27 8:17 / /mnt/again rw - vfat /dev/sdb1 rw\n"
                      "115 27 8:33 / /media/rider/BACKUP ro,nosuid - ntfs3 /dev/sdc1 rw\n"
                      "116 27 8:16 / /media/rider/\\303\\251 rw - exfat /dev/sdb ro\n");
    std::map<std::pair<unsigned, unsigned>, platform::VolumeProperties> udevDb = {
        {{8, 17}, {"vfat", "FAT32", "QUORTA_GPS", R"(QUORTA\x20GPS)"}},
        {{8, 33}, {"ntfs", "", "Backup", ""}},
        {{8, 16}, {"exfat", "1.0", "", ""}},
    };
    platform::LinuxVolumes volumes(table, sys.root, [&](unsigned major, unsigned minor) {
        auto it = udevDb.find({major, minor});
        return it == udevDb.end() ? platform::VolumeProperties{} : it->second;
    });

    std::vector<platform::VolumeInfo> list;
    ASSERT_TRUE(volumes.list(list));
    ASSERT_EQ(list.size(), 5u);  // no proc, tmpfs, bind mount or second mount of sdb1

    EXPECT_EQ(list[0].root, "/");
    EXPECT_FALSE(list[0].removable);
    EXPECT_EQ(list[0].fileSystem, "EXT4");
    EXPECT_EQ(list[0].label, "");

    EXPECT_EQ(list[1].root, "/home/");
    EXPECT_FALSE(list[1].removable);

    EXPECT_EQ(list[2].root, "/media/rider/QUORTA GPS/");
    EXPECT_TRUE(list[2].removable);
    EXPECT_EQ(list[2].label, "QUORTA GPS");
    EXPECT_EQ(list[2].fileSystem, "FAT32");
    EXPECT_FALSE(list[2].readOnly);  // "errors=remount-ro" is no "ro"

    EXPECT_EQ(list[3].root, "/media/rider/BACKUP/");
    EXPECT_TRUE(list[3].removable);  // a USB hard disk
    EXPECT_EQ(list[3].label, "Backup");
    EXPECT_EQ(list[3].fileSystem, "NTFS");
    EXPECT_TRUE(list[3].readOnly);  // mounted so

    EXPECT_EQ(list[4].root, "/media/rider/\xC3\xA9/");
    EXPECT_EQ(list[4].fileSystem, "exFAT");
    EXPECT_TRUE(list[4].readOnly);  // the kernel's remount after an error
}

TEST(LinuxVolumes, FailsWhenTheMountTableCannotBeRead) {
    platform::LinuxVolumes volumes("/nonexistent/mountinfo", "/sys", nullptr);
    std::vector<platform::VolumeInfo> list(1);
    list[0].root = "/stale/";
    EXPECT_FALSE(volumes.list(list));
    EXPECT_TRUE(list.empty());
}

TEST(LinuxVolumes, ListsARootWithoutFollowingLinks) {
    TempDir dir;
    dir.mkdir("vol/Quorta");
    dir.mkdir("vol/OldQuortaData");
    dir.write("vol/QuortaFile", "not a folder");
    dir.symlink(dir.path() + "/vol/Quorta", "vol/QuortaLink");
    dir.symlink("/nonexistent", "vol/Dangling");

    platform::LinuxVolumes volumes;
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(volumes.listRoot(dir.path() + "/vol/", entries));
    std::map<std::string, bool> byName;
    for (const auto& e : entries) byName[e.name] = e.isDirectory;
    std::map<std::string, bool> expected = {{"Quorta", true},
                                            {"OldQuortaData", true},
                                            {"QuortaFile", false},
                                            {"QuortaLink", false},
                                            {"Dangling", false}};
    EXPECT_EQ(byName, expected);

    EXPECT_FALSE(volumes.listRoot(dir.path() + "/missing/", entries));
    EXPECT_FALSE(volumes.listRoot(dir.path() + "/vol/QuortaFile", entries));
}

TEST(LinuxVolumes, ReadsThisMachine) {
    platform::LinuxVolumes volumes;
    std::vector<platform::VolumeInfo> list;
    ASSERT_TRUE(volumes.list(list));
    for (const auto& v : list) {
        SCOPED_TRACE(v.root);
        ASSERT_FALSE(v.root.empty());
        EXPECT_EQ(v.root.front(), '/');
        EXPECT_EQ(v.root.back(), '/');
        EXPECT_FALSE(v.fileSystem.empty());
        std::vector<platform::DirEntry> entries;
        volumes.listRoot(v.root, entries);  // readable or not, it must not fail hard
    }
}
