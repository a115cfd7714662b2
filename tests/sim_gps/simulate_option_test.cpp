#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "SimTestSupport.h"
#include "core/DeviceScan.h"
#include "sim/SimulationOptions.h"

namespace {

// What `quorta-updater --cli --simulate=5:jp:7.62 --scan-once` does once the
// terminal front end exists: a simulated machine from the option, one scan.
class SimulateOptionTest : public testing_support::SimGpsTest {};

TEST_F(SimulateOptionTest, ScanOfAJapaneseHeronAt762) {
    std::string error;
    std::optional<sim::SimulationConfig> config =
        sim::parseSimulation({.simulate = "5:jp:7.62"}, &error);
    ASSERT_TRUE(config) << error;
    sim::applySimulation(*config, addGps(config->gps));
    core::installReportCallbacks();  // the log now goes to the window and the debug output

    core::deviceScan();

    core::DeviceRecord r = core::deviceRecord().snapshot();
    EXPECT_EQ(r.connectedText, "Heron GPS connected\nVer: 7.62\nJapanese");
    EXPECT_EQ(r.updateLabel, "Update to 7.63");
    EXPECT_EQ(window.messages,
              (std::vector<core::WindowMessage>{core::WindowMessage::OnDeviceInfoRead}));
    const std::string& shown = window.logView;
    EXPECT_NE(shown.find("\r\ndeviceScan BEGIN\r\n"), std::string::npos);
    EXPECT_NE(shown.find("\nDEVICE_ID RAW [65] NORM[5] U[1031039]\r\n"), std::string::npos);
    EXPECT_TRUE(shown.ends_with("deviceScan B END\r\n"));
    EXPECT_EQ(debug.snapshot().back(), "deviceScan B END\r\n");
}

sim::SimulationConfig parsed(sim::SimulationArgs args, sim::SimulationUse use = {}) {
    std::string error;
    std::optional<sim::SimulationConfig> c = sim::parseSimulation(args, &error, use);
    EXPECT_TRUE(c) << error;
    return c.value_or(sim::SimulationConfig{});
}

TEST(SimulateOption, Parsing) {
    sim::SimulationConfig c = parsed({.simulate = "13:std:12.10"});
    EXPECT_EQ(c.gps.deviceType, 13);
    EXPECT_FALSE(c.gps.japanese);
    EXPECT_EQ(c.gps.versionMajor, 12);
    EXPECT_EQ(c.gps.versionMinor, 10);
    EXPECT_EQ(c.startMode, sim::GpsMode::Application);

    c = parsed({.simulate = "7"});
    EXPECT_TRUE(c.gps.japanese);
    EXPECT_EQ(c.gps.versionMajor, 7);
    EXPECT_EQ(c.gps.versionMinor, 62);
    EXPECT_EQ(parsed({.simulate = "11:14.05"}).gps.versionMinor, 5);
    EXPECT_EQ(parsed({.simulate = "5:jp:7.62:rom"}).startMode, sim::GpsMode::RomBootloader);
    EXPECT_EQ(parsed({.simulate = "9:bootloader"}).startMode, sim::GpsMode::FlashBootloader);
    EXPECT_TRUE(parsed({.simulate = "5", .drive = "none"}).gps.faults.driveMissing);

    // Where only the bootloaders are reached: a flash bootloader's product
    // id names a Japanese device, a plain type a standard one.
    const sim::SimulationUse bootloaders{.bootloaderOnly = true};
    c = parsed({.simulate = "69"}, bootloaders);
    EXPECT_EQ(c.gps.deviceType, 9);
    EXPECT_TRUE(c.gps.japanese);
    EXPECT_EQ(c.startMode, sim::GpsMode::FlashBootloader);
    EXPECT_FALSE(parsed({.simulate = "12:rom"}, bootloaders).gps.japanese);

    c = parsed({.simulate = "5",
                .faults = "bootloader-open-fails:3,unplug@write-50,radio-fails",
                .replug = "never"});
    EXPECT_EQ(c.gps.faults.bootloaderOpenFailures, 3);
    EXPECT_EQ(c.romOpenFailures, 3);
    EXPECT_TRUE(c.gps.faults.radioUpdateFails);
    ASSERT_TRUE(c.unplug);
    EXPECT_EQ(c.unplug->writePercent, 50);
    EXPECT_EQ(c.replugAfterMs, -1);
    EXPECT_EQ(
        parsed({.simulate = "5", .faults = "unplug@before-backup", .replug = "1.5"}).replugAfterMs,
        1500);

    // Every point of the fault matrix by its name, each one once.
    std::set<std::string> names;
    for (const sim::UnplugPoint& p : sim::unplugPoints()) {
        names.insert(sim::unplugOptionName(p));
        EXPECT_TRUE(parsed({.simulate = "13", .faults = "unplug@" + sim::unplugOptionName(p)})
                        .unplug.has_value());
    }
    EXPECT_EQ(names.size(), sim::unplugPoints().size());
    EXPECT_TRUE(names.count("after-font-loading-condor") && names.count("write-90"));
}

TEST(SimulateOption, AppliedToTheGps) {
    platform::ScaledClock clock(0.01);
    sim::SimulatedMachine machine(&clock);
    sim::SimulationConfig c =
        parsed({.simulate = "5:jp:7.62:rom", .faults = "flash-refuses-writes,unplug@before-jump"});
    sim::SimulatedGps& gps = machine.addGps(c.gps);
    const sim::CablePuller cable = sim::applySimulation(c, gps);
    EXPECT_EQ(gps.mode(), sim::GpsMode::RomBootloader);
    EXPECT_NE(gps.checkFlashImage(), images::ImageCheck::ok);
    EXPECT_EQ(gps.romBootloader().faults().abortStatus, 105);
    EXPECT_EQ(gps.flashBootloader().faults().abortAfterDataPackets, 0);

    // The updater's own step pulls the cable, once, as the updater enters
    // its phase. It goes back in after the default time and the device
    // boots what its flash holds.
    ASSERT_TRUE(cable.onPhase);
    cable.onPhase(core::UpdatePhase::BackedUp);
    EXPECT_EQ(gps.mode(), sim::GpsMode::RomBootloader);
    cable.onPhase(core::UpdatePhase::Jumping);
    EXPECT_EQ(gps.mode(), sim::GpsMode::Unplugged);
    ASSERT_TRUE(gps.waitForMode(sim::GpsMode::RomBootloader, 60000));
    const std::vector<std::string> activity = gps.activity();
    EXPECT_EQ(std::count(activity.begin(), activity.end(), "unplugged at BeforeJump"), 1);
    cable.onPhase(core::UpdatePhase::Jumping);
    EXPECT_EQ(gps.mode(), sim::GpsMode::RomBootloader);
}

TEST(SimulatedMachine, PrivateDriveFoldersGoWithTheMachine) {
    std::string folder;
    {
        sim::SimulatedMachine machine;
        sim::SimulatedGps& gps = machine.addGps({});
        folder = machine.folder();
        EXPECT_TRUE(std::filesystem::is_directory(gps.driveFolder() + "/Quorta"));
        EXPECT_EQ(gps.driveRoot().rfind(folder, 0), 0u);
        EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_all);
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
