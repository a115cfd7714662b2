#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>

#include "SimGpsConfigs.h"
#include "SimTestSupport.h"
#include "core/CommandLink.h"
#include "core/DevicePermission.h"
#include "core/DeviceScan.h"

namespace {

class LinkAgainstGpsTest : public testing_support::SimGpsTest {
  protected:
    sim::SimulatedGps& gpsWith(const sim::GpsFaults& faults) {
        sim::GpsConfig config;
        config.faults = faults;
        sim::SimulatedGps& gps = addGps(config);
        gps.plugIn();
        return gps;
    }
    // Sends a plain command on a handle of its own and returns the reports
    // the GPS sent back within `reads` reads.
    std::vector<std::string> askRaw(uint8_t opcode, int reads) {
        std::vector<std::string> texts;
        hidport::hid_device* h = hidport::hid_open(0x2B29, 0x55, nullptr);
        EXPECT_NE(h, nullptr);
        if (!h) return texts;
        core::sendLinkCommand(opcode, h);
        for (int i = 0; i < reads; ++i) {
            std::array<unsigned char, 65> buffer{};
            if (hidport::hid_read_timeout(h, buffer.data(), 64, 1000) > 0) {
                texts.emplace_back(reinterpret_cast<const char*>(buffer.data()));
            }
        }
        hidport::hid_close(h);
        return texts;
    }
};

TEST_F(LinkAgainstGpsTest, AnswersWithItsOwnRecord) {
    sim::GpsConfig config = testing_support::gpsConfig(11, false, 14, 2);
    config.infoByteA = 9;
    config.infoByteB = -3;
    addGps(config).plugIn();
    std::array<uint8_t, 64> reply{};
    size_t length = 0;
    ASSERT_TRUE(core::linkTransaction(core::READ_DEVICE_INFO, reply, &length));
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(reply[1], 11);
    EXPECT_EQ(reply[2], 14);
    EXPECT_EQ(reply[3], 2);
    EXPECT_EQ(reply[4], 9);
    EXPECT_EQ(static_cast<int8_t>(reply[5]), -3);
}

TEST_F(LinkAgainstGpsTest, DeviceTextBeforeTheAnswer) {
    sim::GpsConfig config;
    config.textBeforeDeviceInfo = {"Boot OK\r\n", "Battery 87%\r\n"};
    addGps(config).plugIn();
    ASSERT_TRUE(core::readDevice());
    EXPECT_TRUE(logged("Boot OK\r\n"));
    EXPECT_TRUE(logged("Battery 87%\r\n"));
}

TEST_F(LinkAgainstGpsTest, UnexpectedReplies) {
    sim::SimulatedGps& gps = gpsWith({.unexpectedReplies = 2});
    EXPECT_TRUE(core::readDevice());
    EXPECT_EQ(countLog("Unexpected command\r\n"), 2);

    gps.setFaults({.unexpectedReplies = 3});
    EXPECT_FALSE(core::readDevice());
    gps.setFaults({.unexpectedReplies = -1});
    EXPECT_FALSE(core::readDevice());
    EXPECT_EQ(countLog("Unexpected command\r\n"), 8);
}

TEST_F(LinkAgainstGpsTest, BadCrcIsNeverTakenAsTheRecord) {
    gpsWith({.badCrc = true});
    EXPECT_FALSE(core::readDevice());
    // The one answer arrives damaged; the device then has nothing more to say.
    EXPECT_EQ(countLog("Damaged response (CRC mismatch)\r\n"), 1);
    EXPECT_EQ(countLog("No response from device\r\n"), 2);
    EXPECT_EQ(core::state().GRawDevID, 99);
}

TEST_F(LinkAgainstGpsTest, ARefusedOpenIsTriedAgainForAFewSeconds) {
    // A node the system has not finished setting up opens on a later try.
    sim::SimulatedGps& gps = gpsWith({.openFailures = 1});
    EXPECT_TRUE(core::readDevice());
    EXPECT_EQ(gps.openAttempts(), 2);

    // One that keeps refusing is given up when the time is up...
    gps.setFaults({.openFailures = -1});
    const int64_t start = clock.nowMs();
    EXPECT_FALSE(core::readDevice());
    EXPECT_GE(clock.nowMs() - start, core::kLateNodeWaitMs);
    EXPECT_TRUE(logged("Failed to open HID device\r\n"));
    // ...and not waited for again while it stays on the bus.
    const int attempts = gps.openAttempts();
    EXPECT_FALSE(core::readDevice());
    EXPECT_EQ(gps.openAttempts(), attempts + 1);

    // No device at all: nothing to wait for.
    gps.unplug();
    core::forgetPermissionProblem();
    const int64_t gone = clock.nowMs();
    EXPECT_FALSE(core::readDevice());
    EXPECT_LT(clock.nowMs() - gone, core::kLateNodePollMs);
}

TEST_F(LinkAgainstGpsTest, SilentDeviceIsGivenUpAfterThreeTimeouts) {
    gpsWith({.silent = true});
    const int64_t start = clock.nowMs();
    EXPECT_FALSE(core::readDevice());
    EXPECT_GE(clock.nowMs() - start, 3 * core::kLinkReplyTimeoutMs);
    EXPECT_EQ(countLog("No response from device\r\n"), 3);
}

TEST_F(LinkAgainstGpsTest, UnplugWhileWaiting) {
    sim::SimulatedGps& gps = gpsWith({.silent = true});
    bool result = true;
    std::thread asker([&] {
        std::array<uint8_t, 64> reply{};
        result = core::linkTransaction(core::READ_DEVICE_INFO, reply);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    gps.unplug();
    asker.join();
    EXPECT_FALSE(result);
}

TEST_F(LinkAgainstGpsTest, RadioVersionText) {
    sim::SimulatedGps& gps = gpsWith({});
    auto texts = askRaw(core::NRF_GET_VERSION, 1);
    ASSERT_EQ(texts.size(), 1u);
    // A framed DEVICE_TEXT: SOH, code 0x0A, then the text up to its NUL.
    EXPECT_EQ(texts[0], "\x01\x0AnRF VERSION: 2.10.31.39");

    gps.setRadioBuild(1333026);
    texts = askRaw(core::NRF_GET_VERSION, 1);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "\x01\x0AnRF VERSION: 2.13.33.26");

    EXPECT_EQ(sim::radioVersionTextFor(102007), "nRF VERSION: 2.1.02.7");
    EXPECT_EQ(sim::currentRadioBuildFor(15), 1332013);
}

TEST_F(LinkAgainstGpsTest, EraseKeysTextReports) {
    gpsWith({});
    auto texts = askRaw(core::NORDIC_ERASE_KEYS, 3);
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Erasing bonding keys\r\n", "Bonding keys erased\r\n"}));
}

TEST_F(LinkAgainstGpsTest, UnreachableOutsideApplicationMode) {
    sim::SimulatedGps& gps = gpsWith({});
    gps.plugIn(sim::GpsMode::FlashBootloader);
    EXPECT_EQ(hidport::hid_open(0x2B29, 0x55, nullptr), nullptr);
    EXPECT_EQ(gps.hardwareId(), "USB\\VID_2B29&PID_0041&REV_0100");
    gps.plugIn(sim::GpsMode::RomBootloader);
    EXPECT_EQ(gps.hardwareId(), "USB\\VID_15A2&PID_0073&REV_0100");
    gps.plugIn(sim::GpsMode::Application);
    EXPECT_EQ(gps.hardwareId(), "USB\\VID_2B29&PID_0055&REV_0100");
    EXPECT_TRUE(core::readDevice());
}

}  // namespace
