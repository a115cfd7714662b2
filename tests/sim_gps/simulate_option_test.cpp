#include <gtest/gtest.h>

#include <filesystem>

#include "SimTestSupport.h"
#include "core/DeviceScan.h"

namespace {

// What `quorta-updater --cli --simulate=5:jp:7.62 --scan-once` does once the
// terminal front end exists: a simulated machine from the option, one scan.
class SimulateOptionTest : public testing_support::SimGpsTest {};

TEST_F(SimulateOptionTest, ScanOfAJapaneseHeronAt762) {
    std::string error;
    std::optional<sim::GpsConfig> config = sim::parseSimulateOption("5:jp:7.62", &error);
    ASSERT_TRUE(config) << error;
    addGps(*config).plugIn();
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

TEST(SimulateOption, Parsing) {
    auto c = sim::parseSimulateOption("13:std:12.10");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->deviceType, 13);
    EXPECT_FALSE(c->japanese);
    EXPECT_EQ(c->versionMajor, 12);
    EXPECT_EQ(c->versionMinor, 10);

    c = sim::parseSimulateOption("7");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->japanese);
    EXPECT_EQ(c->versionMajor, 7);
    EXPECT_EQ(c->versionMinor, 62);

    c = sim::parseSimulateOption("11:14.05");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->versionMinor, 5);

    for (const char* bad : {"", "17", "-1", "x", "5:de", "5:jp:7", "5:jp:7.62.1", "5:7.62:jp",
                            "5:jp:128.0", "5:jp:7.62:x", "5::7.62", "0005"}) {
        std::string error;
        EXPECT_FALSE(sim::parseSimulateOption(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
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
