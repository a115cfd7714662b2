// The shipped quorta-updater and quorta-bl on the road a real GPS takes:
// libudev's enumeration and monitor, hidraw through libhidapi-hidraw, the
// mount table, UDisks2 and logind, with the simulated GPS played by
// quorta-gps-emulator as USB devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "EmulatorRun.h"

namespace {

namespace fs = std::filesystem;
using usb_testing::Emulator;
using usb_testing::EmulatorRun;
using usb_testing::inOrder;
using usb_testing::kUpdater;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string describe(const EmulatorRun& r) {
    return "exit " + std::to_string(r.exitCode) + "\n--- out\n" + r.out + "\n--- err (tail)\n" +
           r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0) + "\n--- report\n" +
           r.report;
}

class UsbRoad : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = usb_testing::whyNotRunnable()) GTEST_SKIP() << *why;
    }
    Emulator emulator;
};

// Every regular file under `root`, by its path below it, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files[fs::relative(entry.path(), root).string()] = bytes.str();
    }
    return files;
}

TEST_F(UsbRoad, ScanShowsAJapaneseType5AndOffersItsUpdate) {
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62"}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r.out, "\nHeron GPS connected\nVer: 7.62\nJapanese\nOffer: Update to 7.63\n"))
        << describe(r);
    // Found by its hardware id as udev lists it, read over hidraw.
    EXPECT_TRUE(has(r.out, "idx:(0)-VID_2B29 PID[55]")) << describe(r);
}

TEST_F(UsbRoad, TheWholeAutomaticUpdateOfAJapaneseType5) {
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05"},
                                       {kUpdater, "--cli", "--yes", "--update"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(
        inOrder(r.out, {"Pressing [Update to 7.63]\n", "Detail: Flashing\n        25% done\n",
                        "Title:  Heron GPS Flashing success\n",
                        "Title:  Heron GPS connected\n        Ver: 7.63-1031039\n",
                        "Detail: Latest software is installed on device\n"}))
        << describe(r);
    // What the device itself holds afterwards.
    EXPECT_TRUE(has(r.report, "flash: image intact (type 5, 7.63 Japanese)\n")) << r.report;
    EXPECT_TRUE(has(r.report, "mode: application\n")) << r.report;
}

TEST_F(UsbRoad, AType13From1240GetsItsDriveBackBitForBit) {
    const fs::path drive = emulator.folder("drive");
    fs::create_directories(drive / "Quorta/Rides/2024");
    std::mt19937 random(13);
    auto bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(random());
        return s;
    };
    std::ofstream(drive / "Quorta/Rides/2024/morning ride.fit", std::ios::binary) << bytes(200000);
    std::ofstream(drive / "Quorta/Rides/evening.fit", std::ios::binary) << bytes(4097);
    std::ofstream(drive / "Quorta/settings.json", std::ios::binary) << "{\"units\": \"km\"}\n";
    std::ofstream(drive / "Quorta/empty.txt", std::ios::binary);
    const auto before = filesUnder(drive / "Quorta");

    const EmulatorRun r = emulator.run(
        {"--gps=13:jp:12.40", "--time-scale=0.05", "--simulate-drive=" + drive.string()},
        {kUpdater, "--cli", "--yes", "--update"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(inOrder(r.out, {"Detail: Resetting GPS Disk...\n", "Detail: Restoring Data...\n",
                                "Detail: Latest software is installed on device\n"}))
        << describe(r);
    EXPECT_EQ(filesUnder(drive / "Quorta"), before);
    EXPECT_TRUE(has(r.report, "flash: image intact (type 13, 14.51 Japanese)\n")) << r.report;
    EXPECT_TRUE(has(r.report, "radio: 1333026\n")) << r.report;
    EXPECT_TRUE(has(r.report, "activity: fonts: B (Kanji_18x18.bin loaded)\n")) << r.report;
}

TEST_F(UsbRoad, ANodeTheUserMayNotOpenGivesThePermissionAdvice) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the updater runs as another user than the emulator, which "
                        "owns the hidraw node";
    }
    const uid_t nobody = 65534;
    emulator.giveTo(nobody, nobody);
    const EmulatorRun r = emulator.run(
        {"--gps=5:jp:7.62", "--child-user=65534", "--hidraw-mode=0600"}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r.out,
                    "Cannot open the GPS at /dev/hidraw0: permission denied. Install the udev "
                    "rules 70-quorta-gps.rules"))
        << describe(r);
    EXPECT_FALSE(has(r.out, "Heron GPS connected")) << describe(r);
}

TEST_F(UsbRoad, AnExfatDriveMountedThroughFuseIsFoundByItsFileSystem) {
    // No label: only the folder pass, which wants a FAT-family file system,
    // can find it; the mount table says "fuseblk".
    const EmulatorRun r = emulator.run(
        {"--gps=5:jp:7.62", "--drive-fs=exfat-fuse", "--drive-label="}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r.out, "\nHeron GPS connected\nVer: 7.62\n")) << describe(r);
}

// The kernel's hidraw rules, as any hidapi program meets them.
TEST_F(UsbRoad, HidrawNodesKeepTheKernelsRules) {
    const EmulatorRun r =
        emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05"}, {QUORTA_HIDRAW_PROBE_PATH});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    const std::vector<std::string> expected = {
        "found /dev/hidraw0 \"Quorta\" \"Quorta GPS\" release 0100 usage page ff00\n",
        // The leading 0 is counted, not sent; the answer has no report id.
        "write: 65\n",
        "read: 64 bytes, first 01, id 41\n",
        // Every handle has its own copy of every report.
        "other handle: 64 bytes, first 01\n",
        "nothing more: 0\n",
        "bootloader shown: yes\n",
        // A handle of the device that left fails.
        "stale write: -1 (No such device)\n",
        "stale read: -1\n",
        // Numbered reports: the id is the first byte both ways.
        "bootloader write: 36\n",
        "bootloader read: 36 bytes, id 03, tag a7\n",
    };
    EXPECT_TRUE(inOrder(r.out, expected)) << describe(r);
}

}  // namespace
