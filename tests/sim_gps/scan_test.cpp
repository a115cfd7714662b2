#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "core/DeviceScan.h"

namespace {

using core::WindowMessage;
using sim::GpsMode;

class ScanTest : public testing_support::SimGpsTest {
  protected:
    int64_t scanAndMeasure() {
        int64_t before = clock.totalSleptMs();
        core::deviceScan();
        return clock.totalSleptMs() - before;
    }
};

TEST_F(ScanTest, ApplicationModeIsReadAndAnnounced) {
    machine->usbDevices().addDevice("USB\\VID_ABCD&PID_1234&REV_0001");
    sim::SimulatedGps& gps = addGps();
    gps.plugIn(GpsMode::Application);

    core::deviceScan();

    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::OnDeviceInfoRead}));
    EXPECT_TRUE(core::state().ishf);
    EXPECT_TRUE(core::state().scanInProgress);  // left set: the window clears it
    EXPECT_EQ(core::state().gpsDriveRoot(), gps.driveRoot());
    EXPECT_EQ(core::state().scannedProductId, 0x55);
    core::DeviceRecord r = core::deviceRecord().snapshot();
    EXPECT_EQ(r.connectedText, "Heron GPS connected\nVer: 7.62\nJapanese");
    EXPECT_EQ(r.updateLabel, "Update to 7.63");
    EXPECT_NE(std::find(window.calls.begin(), window.calls.end(), "marquee"), window.calls.end());

    EXPECT_TRUE(logged("\r\ndeviceScan BEGIN\r\n"));
    EXPECT_TRUE(logged("idx:(1)-VID_2B29\r\n"));
    EXPECT_TRUE(logged("idx:(1)-VID_2B29 PID[55]\r\n"));
    EXPECT_TRUE(logged("devinfoScan B pid:55 ishf:1 jbl:0 U[7.63] D[7.62] U[1031039] D[0]\r\n"));
    EXPECT_EQ(logLines().back(), "deviceScan B END\r\n");
    EXPECT_EQ(bootloaderThreadStarts, 0);
}

// Two GPS units: which one the link reaches, and whose drive is whose, must
// not be mixed up. Neither is read or updated until one is unplugged.
TEST_F(ScanTest, TwoGpsUnitsAreNeitherUpdatedUntilOneIsUnplugged) {
    sim::SimulatedGps& first = addGps();
    sim::SimulatedGps& second = addGps();
    first.plugIn();
    second.plugIn();
    core::deviceScan();
    EXPECT_TRUE(window.messages.empty());
    EXPECT_FALSE(core::state().ishf);
    EXPECT_FALSE(core::state().scanInProgress);
    EXPECT_EQ(core::state().statusTitle(), core::kTwoGpsTitle);
    EXPECT_EQ(core::state().statusDetail(), core::kTwoGpsDetail);
    EXPECT_EQ(core::deviceRecord().snapshot().connectedText, "");  // neither read

    first.unplug();
    core::deviceScan();
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::OnDeviceInfoRead}));
    // The drive is the one left, not the first's.
    EXPECT_EQ(core::state().gpsDriveRoot(), second.driveRoot());
}

TEST_F(ScanTest, DriveNotFoundMeansNotAnnounced) {
    sim::GpsConfig config;
    config.faults.driveMissing = true;
    addGps(config).plugIn();
    EXPECT_EQ(scanAndMeasure(), 2000);  // both passes of the drive search
    EXPECT_TRUE(window.messages.empty());
    EXPECT_FALSE(core::state().ishf);
    EXPECT_EQ(core::state().gpsDriveRoot(), "");
    EXPECT_TRUE(logged("devinfoScan B pid:55 ishf:0 jbl:0 U[7.63] D[7.62] U[1031039] D[0]\r\n"));
}

TEST_F(ScanTest, UnlabelledDriveIsFoundByItsFolder) {
    sim::GpsConfig config;
    config.driveStyle = sim::DriveStyle::UnlabelledWithFolder;
    sim::SimulatedGps& gps = addGps(config);
    gps.plugIn();
    EXPECT_EQ(scanAndMeasure(), 2000);
    EXPECT_EQ(core::state().gpsDriveRoot(), gps.driveRoot());
}

TEST_F(ScanTest, RomBootloaderOpensTheRecoveryDialog) {
    sim::SimulatedGps& gps = addGps();
    gps.plugIn(GpsMode::RomBootloader);
    window.onMessage = [](WindowMessage m) {
        if (m == WindowMessage::CreateRecoveryModeDlg) core::state().recoveryDialogOpen = true;
        if (m == WindowMessage::CloseRecoveryModeDlg) core::state().recoveryDialogOpen = false;
    };
    core::deviceScan();
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::CreateRecoveryModeDlg}));
    EXPECT_TRUE(logged("idx:(0)-VID_15A2\r\n"));
    EXPECT_EQ(logLines().back(), "deviceScan A END\r\n");
    EXPECT_FALSE(core::state().scanInProgress);

    // Recovered: the device comes back running its application.
    gps.plugIn(GpsMode::Application);
    window.messages.clear();
    core::deviceScan();
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::CloseRecoveryModeDlg,
                                                           WindowMessage::OnDeviceInfoRead}));
}

TEST_F(ScanTest, NoMakerDeviceClosesAnOpenRecoveryDialog) {
    machine->usbDevices().addDevice("USB\\VID_ABCD&PID_1234&REV_0001");
    core::state().recoveryDialogOpen = true;
    EXPECT_EQ(scanAndMeasure(), 0);
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::CloseRecoveryModeDlg}));

    window.messages.clear();
    core::state().recoveryDialogOpen = false;
    core::deviceScan();
    EXPECT_TRUE(window.messages.empty());
}

TEST_F(ScanTest, FlashBootloaderStartsTheBootloaderThreadOnce) {
    addGps().plugIn(GpsMode::FlashBootloader);  // type 5, Japanese: product id 0x41

    EXPECT_EQ(scanAndMeasure(), 1500);
    EXPECT_EQ(bootloaderThreadStarts, 1);
    EXPECT_TRUE(core::state().jbl);
    EXPECT_EQ(core::state().scannedProductId, 0x41);
    EXPECT_TRUE(logged("idx:(0)-VID_2B29 PID[41]\r\n"));
    EXPECT_EQ(logLines().back(), "deviceScan C END\r\n");
    EXPECT_FALSE(window.isVisible(core::Control::UpdateButton));
    EXPECT_TRUE(window.isVisible(core::Control::ProgressBar));
    EXPECT_TRUE(core::state().scanInProgress);

    // The next event clears the guard and scans again: no second thread.
    core::state().scanInProgress = false;
    EXPECT_EQ(scanAndMeasure(), 1500);
    EXPECT_EQ(bootloaderThreadStarts, 1);
    EXPECT_EQ(logLines().back(), "deviceScan A END\r\n");
    EXPECT_FALSE(core::state().scanInProgress);
}

TEST_F(ScanTest, NestedScanIsRefused) {
    addGps().plugIn();
    window.onMessage = [](WindowMessage m) {
        if (m == WindowMessage::OnDeviceInfoRead) core::deviceScan();
    };
    core::deviceScan();
    EXPECT_EQ(countLog("deviceScan - Already Device SCAN in progress\r\n"), 1);
    EXPECT_EQ(countLog("\r\ndeviceScan BEGIN\r\n"), 1);

    // Refused also while a scan left the guard set.
    core::deviceScan();
    EXPECT_EQ(countLog("deviceScan - Already Device SCAN in progress\r\n"), 2);
}

TEST_F(ScanTest, OddHardwareIds) {
    machine->usbDevices().addDevice("");                        // id unreadable
    machine->usbDevices().addDevice("USB\\VID_2B29");           // no product id
    machine->usbDevices().addDevice("USB\\VID_2B29&PID_&REV");  // garbage after it
    machine->usbDevices().addDevice("USB\\VID_2B29&PID_00550000");
    machine->usbDevices().addDevice("USB\\VID_2B29&PID_0099&REV_0100");  // unknown product
    EXPECT_EQ(scanAndMeasure(), 1500);
    EXPECT_TRUE(logged("idx:(1)-VID_2B29\r\n"));
    EXPECT_TRUE(logged("idx:(2)-VID_2B29 unreadable product id in \"USB\\VID_2B29&PID_&REV\"\r\n"));
    EXPECT_TRUE(
        logged("idx:(3)-VID_2B29 unreadable product id in \"USB\\VID_2B29&PID_00550000\"\r\n"));
    EXPECT_TRUE(logged("idx:(4)-VID_2B29 PID[99]\r\n"));
    EXPECT_EQ(logLines().back(), "deviceScan A END\r\n");
    EXPECT_EQ(bootloaderThreadStarts, 0);
    EXPECT_TRUE(window.messages.empty());
}

TEST(HardwareId, ProductIds) {
    EXPECT_EQ(core::productIdFromHardwareId("USB\\VID_2B29&PID_0055&REV_0100"), 0x55);
    EXPECT_EQ(core::productIdFromHardwareId("USB\\VID_2B29&PID_004c"), 0x4C);
    EXPECT_EQ(core::productIdFromHardwareId("USB\\VID_2B29&PID_"), std::nullopt);
    EXPECT_EQ(core::productIdFromHardwareId("USB\\VID_2B29"), std::nullopt);
    EXPECT_EQ(core::productIdFromHardwareId("PID_xyz"), std::nullopt);
    for (int pid : {3, 17, 63, 77, 0x55}) EXPECT_FALSE(core::isFlashBootloaderProductId(pid));
}

}  // namespace
