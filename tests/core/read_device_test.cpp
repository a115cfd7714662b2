#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "ScriptedLinkDevice.h"
#include "core/DeviceScan.h"

namespace {

using testing_support::attachScriptedDevice;
using testing_support::Bytes;
using testing_support::RecordingWindow;
using testing_support::replyReport;

constexpr const char* kUnplugPrompt =
    "Please do not unplug your device.  This will take a few minutes.";
constexpr const char* kOlderPrompt =
    "This updater contains older software than your device, are you sure you want to use old "
    "software?";

class ReadDeviceTest : public testing_support::CoreTest {
  protected:
    // The device answers READ_DEVICE_INFO with this record.
    bool readWith(int raw, int major, int minor, int a = 0, int b = 0) {
        device = attachScriptedDevice();
        device->script = {replyReport({0x06, static_cast<uint8_t>(raw), static_cast<uint8_t>(major),
                                       static_cast<uint8_t>(minor), static_cast<uint8_t>(a),
                                       static_cast<uint8_t>(b)})};
        bool ok = core::readDevice();
        hidport::clearSimulatedDevices();
        return ok;
    }
    core::DeviceRecord record() { return core::deviceRecord().snapshot(); }

    std::shared_ptr<testing_support::ScriptedLinkDevice> device;
};

TEST_F(ReadDeviceTest, JapaneseIdIsNormalised) {
    ASSERT_TRUE(readWith(65, 7, 62, 3, 4));
    core::DeviceRecord r = record();
    EXPECT_EQ(r.deviceType, 5);
    EXPECT_EQ(r.modelName, "Heron GPS");
    EXPECT_EQ(r.rawId, 65);
    EXPECT_EQ(r.dlv, 60);
    EXPECT_EQ(r.infoByteA, 3);
    EXPECT_EQ(r.infoByteB, 4);
    EXPECT_EQ(core::state().gcbn, 60);
    EXPECT_EQ(core::state().GRawDevID, 65);
    EXPECT_EQ(core::state().GNormDevID, 5);
    EXPECT_TRUE(logged("\nDEVICE_ID RAW [65] NORM[5] U[1031039]\r\n"));
    EXPECT_TRUE(logged("\nSending READ_DEVICE_INFO\r\n"));
    EXPECT_EQ(core::reportCallbacks().currentDevice.load(), &core::deviceRecord());
}

TEST_F(ReadDeviceTest, StandardIdLeavesTheVariantChoice) {
    core::state().gcbn = -99;
    ASSERT_TRUE(readWith(5, 7, 62));
    EXPECT_EQ(record().deviceType, 5);
    EXPECT_EQ(core::state().gcbn, -99);
    // Every device read over the link is given the Japanese variant.
    EXPECT_EQ(record().dlv, 60);
}

TEST_F(ReadDeviceTest, IdsAtTheEdgesOfTheRanges) {
    ASSERT_TRUE(readWith(60, 1, 0));  // type 0: known, nothing carried for it
    EXPECT_EQ(record().modelName, "InvalidDevice");
    EXPECT_EQ(core::state().GNormDevID, 0);

    EXPECT_FALSE(readWith(125, 7, 62));
    EXPECT_EQ(core::state().GNormDevID, 65);
    EXPECT_EQ(countLog("Invalid GPS model\r\n"), 1);

    EXPECT_FALSE(readWith(126, 7, 62));
    EXPECT_EQ(core::state().GNormDevID, 126);
    EXPECT_FALSE(readWith(17, 7, 62));
    EXPECT_FALSE(readWith(0xF0, 7, 62));  // -16
    EXPECT_EQ(core::state().GRawDevID, -16);
    EXPECT_EQ(countLog("Invalid GPS model\r\n"), 4);
}

TEST_F(ReadDeviceTest, TypeWithoutFirmwareGetsAMessage) {
    ASSERT_TRUE(readWith(62, 3, 10));
    core::DeviceRecord r = record();
    EXPECT_EQ(r.modelName, "Gen1Kite");
    EXPECT_EQ(r.statusMessage.rfind("This updater will not work for your device.", 0), 0u);
    EXPECT_TRUE(r.updateLabel.empty());
}

TEST_F(ReadDeviceTest, SameVersionAndRadio) {
    core::state().deviceRadioBuild = 1031039;
    ASSERT_TRUE(readWith(65, 7, 63));
    EXPECT_EQ(record().statusMessage, "Latest software is installed on device");
    EXPECT_TRUE(record().updateLabel.empty());
    EXPECT_TRUE(core::state().sameFirmwareVersion);
    EXPECT_TRUE(core::state().sameRadioBuild);

    core::state().updateInProgress = true;
    ASSERT_TRUE(readWith(65, 7, 63));
    EXPECT_EQ(record().statusMessage, "Programming Please Wait...");
}

TEST_F(ReadDeviceTest, OffersAndPrompts) {
    ASSERT_TRUE(readWith(65, 7, 62));
    EXPECT_EQ(record().updateLabel, "Update to 7.63");
    EXPECT_TRUE(record().statusMessage.empty());
    EXPECT_EQ(record().promptText, kUnplugPrompt);
    EXPECT_EQ(record().confirmText, "Update");
    EXPECT_EQ(record().cancelText, "Cancel");
    EXPECT_EQ(record().connectedText, "Heron GPS connected\nVer: 7.62\nJapanese");

    for (auto [major, minor] : {std::pair{7, 64}, std::pair{8, 0}}) {
        ASSERT_TRUE(readWith(65, major, minor));
        EXPECT_EQ(record().updateLabel, "Update to 7.63");
        EXPECT_EQ(record().promptText, kOlderPrompt);
    }
    ASSERT_TRUE(readWith(71, 14, 50));
    EXPECT_EQ(record().updateLabel, "Update to 14.51");
    EXPECT_EQ(core::updateLabelText(7, 5), "Update to 7.05");
}

TEST_F(ReadDeviceTest, OldVersionsBypassTheRadioCheck) {
    struct Case {
        int major, minor;
        bool bypass;
        const char* line;
    };
    const char* sixty = "Rev ONE-SIXTY bypass nordic version check\r\n";
    const char* zero = "Rev ZERO bypass nordic version check\r\n";
    for (Case c :
         {Case{1, 60, true, sixty}, Case{2, 66, true, sixty}, Case{1, 61, false, nullptr},
          Case{2, 67, false, nullptr}, Case{0, 9, true, zero}, Case{3, 1, false, nullptr}}) {
        log.clear();
        ASSERT_TRUE(readWith(65, c.major, c.minor));
        EXPECT_EQ(core::state().bypassRadioVersionCheck.load(), c.bypass)
            << c.major << "." << c.minor;
        EXPECT_EQ(logged(sixty), c.line == sixty) << c.major << "." << c.minor;
        EXPECT_EQ(logged(zero), c.line == zero) << c.major << "." << c.minor;
    }
}

TEST_F(ReadDeviceTest, ConnectedTextWithTheRadioBuild) {
    core::state().deviceRadioBuild = 1333026;
    ASSERT_TRUE(readWith(71, 14, 51));
    EXPECT_EQ(record().connectedText, "Condor GPS connected\nVer: 14.51-1333026\nJapanese");
    EXPECT_EQ(record().statusMessage, "Latest software is installed on device");
}

TEST_F(ReadDeviceTest, ShortRecordIsNoAnswer) {
    core::state().GRawDevID = 99;
    device = attachScriptedDevice();
    device->script = {replyReport({0x06, 65, 7})};
    EXPECT_FALSE(core::readDevice());
    EXPECT_EQ(core::state().GRawDevID, 99);
    EXPECT_TRUE(logged("Device information too short (3 bytes)\r\n"));
}

TEST_F(ReadDeviceTest, ErrorsAreRetriedThreeRunsPerProgramRun) {
    std::vector<int> waits;
    core::reportCallbacks().waitSeconds = [&](int n) { waits.push_back(n); };
    device = attachScriptedDevice();
    device->throwOnRead = true;
    EXPECT_FALSE(core::readDevice());
    EXPECT_EQ(countLog("readDevice Crash - retrying\n\r"), 2);
    EXPECT_EQ(core::state().readDeviceCrashCount, 3);
    EXPECT_EQ(device->opens, 6);  // three runs, each trying the link twice
    EXPECT_EQ(device->closes, 6);
    EXPECT_EQ(waits, (std::vector<int>{1, 1, 1}));

    // The count is never reset: the next error is not retried.
    EXPECT_FALSE(core::readDevice());
    EXPECT_EQ(countLog("readDevice Crash - retrying\n\r"), 2);

    device->throwOnRead = false;
    device->script = {replyReport({0x06, 65, 7, 62, 0, 0})};
    EXPECT_TRUE(core::readDevice());
}

}  // namespace
