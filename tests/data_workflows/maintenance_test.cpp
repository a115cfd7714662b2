// Factory reset and erasing the radio's bonding keys.
#include "core/Maintenance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "DataTestSupport.h"
#include "ScriptedLinkDevice.h"

namespace {

using testing_support::Bytes;

// Plain text in a raw report, the way the radio reports its progress.
Bytes rawText(const std::string& text) {
    Bytes r(64, 0);
    std::copy(text.begin(), text.end(), r.begin());
    return r;
}

class MaintenanceTest : public testing_support::DataTest {};

TEST_F(MaintenanceTest, FactoryResetWritesOneFrameAndReleasesTheLibrary) {
    auto gps = testing_support::attachScriptedDevice();
    const int exits = hidport::exitCount();
    EXPECT_TRUE(core::factoryReset());
    ASSERT_EQ(gps->written.size(), 1u);
    EXPECT_EQ(Bytes(gps->written[0].begin(), gps->written[0].begin() + 7),
              (Bytes{0x00, 0x01, 0x0D, 0xAD, 0xD1, 0x04, 0xFF}));
    EXPECT_EQ(gps->reads, 0);
    EXPECT_EQ(gps->closes, 1);
    EXPECT_EQ(hidport::exitCount(), exits + 1);
    EXPECT_TRUE(statusWith("", "Wait for Device to Reconnect\nPlease Wait..."));
    EXPECT_TRUE(logged("Sending factory reset command\r\n"));

    hidport::clearSimulatedDevices();
    EXPECT_FALSE(core::factoryReset());
    EXPECT_TRUE(logged("Failed to open HID device\r\n"));
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().isComplete, 1);
    EXPECT_FALSE(statuses.back().title);
    EXPECT_EQ(statuses.back().detail, "");
}

TEST_F(MaintenanceTest, EraseKeysLogsTheRadioAndStopsListening) {
    auto gps = testing_support::attachScriptedDevice();
    core::state().deviceRadioBuild = 1031039;
    gps->script = {rawText("Erasing bonding keys\r\n"), {}, rawText("Bonding keys erased\r\n")};
    // On its own thread, as the menu starts it; it must end by itself.
    auto done = std::async(std::launch::async, [] { return core::eraseNordicKeys(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_EQ(core::state().deviceRadioBuild, 0);
    EXPECT_TRUE(logged("Erasing bonding keys\r\n"));
    EXPECT_TRUE(logged("Bonding keys erased\r\n"));
    EXPECT_TRUE(logged("Sending nordic erase keys command\r\n"));
    // 1 + 2 + 1 counted, then silent reads of 2 each up to 10: 3 more.
    EXPECT_EQ(gps->reads, 6);
    EXPECT_EQ(gps->closes, 1);
    ASSERT_EQ(gps->written.size(), 1u);
    EXPECT_EQ(gps->written[0][2], 7);

    hidport::clearSimulatedDevices();
    EXPECT_FALSE(core::eraseNordicKeys());
    EXPECT_TRUE(logged("Failed to open HID device\r\n"));
}

// A GPS that is unplugged while the keys are erased: reads fail at once.
class GoneDevice : public testing_support::ScriptedLinkDevice {
  public:
    int read(unsigned char*, size_t, int) override {
        std::lock_guard lock(mutex);
        ++reads;
        return -1;
    }
};

TEST_F(MaintenanceTest, EraseKeysEndsAtOnceWhenTheDeviceIsGone) {
    auto gone = std::make_shared<GoneDevice>();
    hidport::addSimulatedDevice(gone);
    EXPECT_TRUE(core::eraseNordicKeys());
    EXPECT_EQ(gone->reads, 1);
    EXPECT_EQ(gone->closes, 1);
}

TEST_F(MaintenanceTest, ATransportErrorIsCaught) {
    auto gps = testing_support::attachScriptedDevice();
    gps->throwOnRead = true;
    EXPECT_TRUE(core::eraseNordicKeys());  // the command went out
    EXPECT_TRUE(logged("Erasing the bonding keys: transport broke\r\n"));
    EXPECT_EQ(gps->closes, 1);
}

}  // namespace
