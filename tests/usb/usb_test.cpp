// The shipped quorta-updater and quorta-bl on the road a real GPS takes:
// libudev's enumeration and monitor, hidraw through libhidapi-hidraw, the
// mount table, UDisks2 and logind, with the simulated GPS played by
// quorta-gps-emulator as USB devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "EmulatorRun.h"
#include "core/images/standInImages.h"
#include "sim/SimulatedFirmware.h"

namespace {

namespace fs = std::filesystem;
using usb_testing::Emulator;
using usb_testing::EmulatorRun;
using usb_testing::inOrder;
using usb_testing::kBootloaderTool;
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

// The emulator withholds its declaration: to the program this is a real GPS,
// and a build with test images reads and shows it but writes nothing to it,
// whichever command asks.
TEST_F(UsbRoad, TestImagesReachNoGpsOnTheRoadOfARealOne) {
    if (!images::carriesStandIns()) GTEST_SKIP() << "this build carries the maker's images";
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05", "--as-real-gps"},
                                       {kUpdater, "--cli", "--yes", "--update", "--force-update"});
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_TRUE(inOrder(r.out, {"Title:  Heron GPS connected\n        Ver: 7.62",
                                "Detail: This build carries test images only\n        and cannot "
                                "update a real GPS.\n",
                                "Menu: Force update\n", "[Test images only]\n"}))
        << describe(r);
    EXPECT_FALSE(has(r.out, "Pressing [")) << describe(r);
    // The GPS got no JUMP_TO_BL and never showed its bootloader: its flash
    // is what it was.
    EXPECT_FALSE(has(r.report, "activity: JUMP_TO_BL")) << r.report;
    EXPECT_FALSE(has(r.report, "bootloader")) << r.report;
    EXPECT_TRUE(has(r.report, "flash: image intact (type 5, 7.62 Japanese)\n")) << r.report;
}

// A build made with QUORTA_IMAGES_DIR from a folder without the stand-in mark
// writes to a GPS on the real road, each image checked against its SHA-256.
TEST_F(UsbRoad, ARealImagesBuildUpdatesAGpsOnTheRoadOfARealOne) {
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05", "--as-real-gps"},
                                       // The emulator passes its time scale on only to the programs
                                       // it knows by name.
                                       {QUORTA_REAL_IMAGES_UPDATER_PATH, "--time-scale=0.05",
                                        "--cli", "--yes", "--update", "--about"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_FALSE(has(r.out, "test images")) << describe(r);
    EXPECT_TRUE(
        inOrder(r.out, {"Pressing [Update to 7.63]\n", "Title:  Heron GPS Flashing success\n",
                        "Detail: Latest software is installed on device\n"}))
        << describe(r);
    EXPECT_TRUE(has(r.report, "flash: image intact (type 5, 7.63 Japanese)\n")) << r.report;
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

// A type 13 from 12.40 (backup, factory reset, radio, fonts, restore) with
// rides on its drive; what the drive holds afterwards.
class RiderDrive : public UsbRoad {
  protected:
    void SetUp() override {
        UsbRoad::SetUp();
        drive = emulator.folder("drive");
        fs::create_directories(drive / "Quorta/Rides");
        std::ofstream(drive / "Quorta/Rides/morning.fit", std::ios::binary)
            << std::string(70000, 'r');
        std::ofstream(drive / "Quorta/settings.json", std::ios::binary) << "{\"units\": \"km\"}\n";
        before = filesUnder(drive / "Quorta");
    }
    EmulatorRun update(std::vector<std::string> emulatorArgs) {
        emulatorArgs.insert(emulatorArgs.begin(), {"--gps=13:jp:12.40", "--time-scale=0.05",
                                                   "--simulate-drive=" + drive.string()});
        return emulator.run(emulatorArgs, {kUpdater, "--cli", "--yes", "--update", "--show-log"});
    }
    void expectWholeUpdate(const EmulatorRun& r) {
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(
            inOrder(r.out, {"Detail: Resetting GPS Disk...\n", "Detail: Restoring Data...\n",
                            "Detail: Latest software is installed on device\n"}))
            << describe(r);
        EXPECT_EQ(filesUnder(drive / "Quorta"), before) << describe(r);
        EXPECT_TRUE(has(r.report, "radio: 1333026\n")) << r.report;
        EXPECT_TRUE(has(r.report, "activity: fonts: B (Kanji_18x18.bin loaded)\n")) << r.report;
    }
    fs::path drive;
    std::map<std::string, std::string> before;
};

// A stick labelled Quorta, holding a Quorta folder, mounted after the GPS's
// drive: never read, never written; the GPS keeps its rides.
TEST_F(RiderDrive, AStickWithAQuortaLabelAndFolderIsNeverTakenForTheGpsDrive) {
    const EmulatorRun r = update({"--stick=Quorta:Quorta"});
    expectWholeUpdate(r);
    EXPECT_FALSE(has(r.out + r.err, "NOTHING TO SAVE")) << describe(r);
}

// After each restart the desktop mounts the drive late, at another folder,
// its old folder left behind empty: the copies and the restore follow it.
// As on a desktop, the events come from udev's source where that can be had.
TEST_F(RiderDrive, TheDriveMountedLateAtAnotherFolderAfterARestartIsFollowed) {
    std::vector<std::string> args = {"--drive-after-restart=moved,late:3"};
    if (::geteuid() == 0) args.push_back("--udev-daemon");
    const EmulatorRun r = update(args);
    expectWholeUpdate(r);
    EXPECT_TRUE(has(r.out + r.err, "The GPS drive is now at ")) << describe(r);
}

TEST_F(UsbRoad, TwoGpsUnitsAreNeitherUpdatedAndTheUserIsAskedToUnplugOne) {
    const EmulatorRun r =
        emulator.run({"--gps=5:jp:7.62", "--second-gps"}, {kUpdater, "--scan-once"});
    EXPECT_TRUE(has(r.out, "Two Quorta GPS devices\nare connected\nPlease unplug one of them\n"))
        << describe(r);
    EXPECT_FALSE(has(r.out, "Heron GPS connected")) << describe(r);
    EXPECT_TRUE(has(r.report, "hidraw: 0 opens")) << r.report;
}

// The same drive search on a disk without a partition table (sdb alone).
TEST_F(UsbRoad, ADriveWithoutAPartitionTableIsFound) {
    const EmulatorRun r =
        emulator.run({"--gps=5:jp:7.62", "--drive-partitions=none"}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r.out, "\nHeron GPS connected\nVer: 7.62\n")) << describe(r);
}

// A cable to be pulled at a point the update never reaches (a type 5 loads
// no fonts): the run tested nothing, and says so.
TEST_F(UsbRoad, ACablePullThatNeverHappensFailsTheRun) {
    const EmulatorRun r = emulator.run(
        {"--gps=5:jp:7.63", "--simulate-fault=unplug@before-font-copy"}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 125) << describe(r);
    EXPECT_TRUE(has(r.err, "the cable was never pulled (unplug@before-font-copy)")) << describe(r);
    // A program that takes the GPS for a real one is told nothing of its
    // phases: refused before anything starts.
    const EmulatorRun real =
        emulator.run({"--gps=5:jp:7.63", "--simulate-fault=unplug@before-jump", "--as-real-gps"},
                     {kUpdater, "--scan-once"});
    EXPECT_EQ(real.exitCode, 125) << describe(real);
    EXPECT_TRUE(has(real.err, "unplug@before-jump waits for a step")) << describe(real);
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

TEST_F(UsbRoad, ANodeThatComesLateIsOpenedOnceItIsThere) {
    // Every hidraw node is made three seconds after its device is announced,
    // also when the GPS comes back from its bootloader.
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05", "--hidraw-late=3"},
                                       {kUpdater, "--cli", "--yes", "--update"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(inOrder(
        r.out, {"Pressing [Update to 7.63]\n", "Detail: Latest software is installed on device\n"}))
        << describe(r);
    EXPECT_FALSE(has(r.out, "permission denied")) << describe(r);
    EXPECT_TRUE(has(r.report, "flash: image intact (type 5, 7.63 Japanese)\n")) << r.report;
}

TEST_F(UsbRoad, AReadOnlyDriveStopsTheUpdateBeforeTheGpsIsChanged) {
    // A type 13 below 13.0 is factory-reset after its update: not on a drive
    // that could not take its files back.
    const fs::path drive = emulator.folder("drive");
    fs::create_directories(drive / "Quorta");
    std::ofstream(drive / "Quorta/settings.json") << "{\"units\": \"km\"}\n";
    const EmulatorRun r = emulator.run({"--gps=13:jp:12.40", "--time-scale=0.05",
                                        "--simulate-drive=" + drive.string(), "--drive-read-only"},
                                       {kUpdater, "--cli", "--yes", "--update"});
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_TRUE(inOrder(r.out, {"Pressing [Update to 14.51]\n",
                                "Title:  Error\n        Cannot write to the GPS drive.\n",
                                "Detail: Its drive is mounted read-only.\n"}))
        << describe(r);
    EXPECT_TRUE(has(r.report, "flash: image intact (type 13, 12.40 Japanese)\n")) << r.report;
    EXPECT_FALSE(has(r.report, "JUMP_TO_BL")) << r.report;
    EXPECT_TRUE(fs::exists(drive / "Quorta/settings.json"));
}

TEST_F(UsbRoad, AnExfatDriveMountedThroughFuseIsFoundByItsFileSystem) {
    // No label: only the folder pass, which wants a FAT-family file system,
    // can find it; the mount table says "fuseblk".
    const EmulatorRun r = emulator.run(
        {"--gps=5:jp:7.62", "--drive-fs=exfat-fuse", "--drive-label="}, {kUpdater, "--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r.out, "\nHeron GPS connected\nVer: 7.62\n")) << describe(r);
}

TEST_F(UsbRoad, TheRomBootloaderRecoveryOfAType7FromTheTerminal) {
    // The recovery dialog's model 3 is the Finch Chroma (type 7); Japanese.
    const EmulatorRun r =
        emulator.run({"--gps=7:jp:7.62:rom", "--time-scale=0.05"}, {kUpdater, "--cli"}, "3\nj\n");
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(inOrder(
        r.out,
        {"[Emergency Recovery Mode]\n", "Model number (nothing to cancel)? 3\n",
         "Japanese or English (j/e)? j\n", "Title:  Finch Chroma connected\n        Ver: 7.63",
         "Detail: Latest software is installed on device\n"}))
        << describe(r);
    EXPECT_TRUE(has(r.report, "flash: image intact (type 7, 7.63 Japanese)\n")) << r.report;
}

TEST_F(UsbRoad, TheCablePulledDuringTheWriteAndPluggedBackThenRecovered) {
    // No to the backup reminder, OK to the update, then model 1 (Heron GPS,
    // type 5), Japanese, in the recovery dialog the ROM bootloader opens.
    const EmulatorRun r = emulator.run({"--gps=5:jp:7.62", "--time-scale=0.05",
                                        "--simulate-fault=unplug@write-50", "--simulate-replug=2"},
                                       {kUpdater, "--cli", "--update"}, "n\nok\n1\nj\n");
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(
        inOrder(r.out, {"Detail: Flashing\n        25% done\n", "[Emergency Recovery Mode]\n",
                        "Title:  Heron GPS connected\n        Ver: 7.63",
                        "Detail: Latest software is installed on device\n"}))
        << describe(r);
    EXPECT_TRUE(
        inOrder(r.report, {"flash: image intact (type 5, 7.63 Japanese)\n",
                           "activity: unplugged at Write after ", "activity: plugged back in\n",
                           "activity: ROM bootloader shown\n", "activity: booted 7.63 Japanese\n"}))
        << r.report;
}

TEST_F(UsbRoad, QuortaBlErasesWritesAndResetsTheFlashBootloader) {
    // A Japanese type 9 in its flash bootloader: 0x2b29 / 9 + 60.
    const std::string image = emulator.folder("image") + "/firmware.bin";
    const std::vector<uint8_t> bytes = sim::makeFirmwareImage({9, 60, 7, 63});
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const std::string bl = std::string(kBootloaderTool) + " --usb 0x2b29,0x45 ";
    const EmulatorRun r =
        emulator.run({"--gps=9:jp:7.62:bootloader"},
                     {"/bin/sh", "-c",
                      bl + "flash-erase-region 0xa000 0x76000 && " + bl + "write-memory 0xa000 " +
                          image + " && " + bl + "reset"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(inOrder(r.out, {"Successful generic response to command 'flash-erase-region'\n",
                                "Wrote " + std::to_string(bytes.size()) + " of " +
                                    std::to_string(bytes.size()) + " bytes.\n",
                                "Successful generic response to command 'reset'\n"}))
        << describe(r);
    // The device holds the image and took the reset.
    EXPECT_TRUE(has(r.report, "flash: image intact (type 9, 7.63 Japanese)\n")) << r.report;
    EXPECT_TRUE(has(r.report, "activity: bootloader reset\n")) << r.report;
}

// The last status title and detail a terminal run printed.
std::string endOf(const std::string& out) {
    std::string title, detail;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Title:  ", 0) == 0) title = line;
        if (line.rfind("Detail: ", 0) == 0) detail = line;
    }
    return title + " | " + detail;
}

// The faults of the simulated GPS reach the shipped updater through the real
// road and end as they do against the simulation's seams.
struct FaultCase {
    std::string fault;
    bool scanOnly;  // a GPS that cannot be read: the scan tells
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }
};

class FaultsOnTheRoad : public UsbRoad, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultsOnTheRoad, EndAsAgainstTheSeams) {
    const FaultCase& c = GetParam();
    const std::vector<std::string> front = c.scanOnly
                                               ? std::vector<std::string>{"--scan-once"}
                                               : std::vector<std::string>{"--cli", "--update"};
    // No to the backup reminder, OK to the update; a recovery dialog, if one
    // opens, is answered with the GPS's own model.
    const std::string answers = "n\nok\n1\nj\n";
    std::vector<std::string> direct = {kUpdater};
    direct.insert(direct.end(), front.begin(), front.end());
    direct.insert(direct.end(),
                  {"--simulate=5:jp:7.62", "--simulate-fault=" + c.fault, "--time-scale=0.05"});
    const EmulatorRun seams = emulator.runDirectly(direct, answers);

    std::vector<std::string> program = {kUpdater};
    program.insert(program.end(), front.begin(), front.end());
    const EmulatorRun road = emulator.run(
        {"--gps=5:jp:7.62", "--simulate-fault=" + c.fault, "--time-scale=0.05"}, program, answers);
    EXPECT_EQ(road.exitCode, seams.exitCode) << describe(road) << "\n--- seams\n" << seams.out;
    EXPECT_EQ(endOf(road.out), endOf(seams.out)) << describe(road) << "\n--- seams\n" << seams.out;
    if (c.scanOnly) {
        EXPECT_TRUE(has(road.out, "A Quorta GPS is connected but could not be read.\n"))
            << describe(road);
    } else {
        EXPECT_TRUE(has(road.report, "activity: unplugged at ")) << road.report;
    }
}

INSTANTIATE_TEST_SUITE_P(Sample, FaultsOnTheRoad,
                         ::testing::Values(FaultCase{"silent", true}, FaultCase{"bad-crc", true},
                                           // A step of the updater's own: the updater tells the
                                           // emulator its phase (no log is printed).
                                           FaultCase{"unplug@before-jump", false},
                                           FaultCase{"unplug@at-jump", false},
                                           FaultCase{"unplug@before-erase", false},
                                           FaultCase{"unplug@before-reset", false},
                                           FaultCase{"unplug@after-reset", false}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             std::string name;
                             for (char ch : info.param.fault)
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// The cable pulled around the font copies of a type 13, phases the updater
// tells the emulator, and the run ends as against the seams.
class FontCopyUnplugs : public UsbRoad, public ::testing::WithParamInterface<const char*> {};

TEST_P(FontCopyUnplugs, FireAndEndAsAgainstTheSeams) {
    const std::string fault = std::string("--simulate-fault=unplug@") + GetParam();
    const std::string answers = "n\nok\n1\nj\n";
    const EmulatorRun seams = emulator.runDirectly(
        {kUpdater, "--cli", "--update", "--simulate=13:jp:14.50", fault, "--time-scale=0.05"},
        answers);
    const EmulatorRun road = emulator.run({"--gps=13:jp:14.50", fault, "--time-scale=0.05"},
                                          {kUpdater, "--cli", "--update"}, answers);
    EXPECT_TRUE(has(road.report, "activity: unplugged at ")) << describe(road);
    EXPECT_EQ(road.exitCode, seams.exitCode) << describe(road) << "\n--- seams\n" << seams.out;
    EXPECT_EQ(endOf(road.out), endOf(seams.out)) << describe(road) << "\n--- seams\n" << seams.out;
}

INSTANTIATE_TEST_SUITE_P(Fonts, FontCopyUnplugs,
                         ::testing::Values("before-font-copy", "after-font-copy"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name;
                             for (const char* c = info.param; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

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
