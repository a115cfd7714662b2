// A GPS on the bus that this user may not open: the log names the node and
// the fix, the window's detail text says so, and neither repeats on every
// scan.
#include <gtest/gtest.h>

#include <memory>

#include "SimTestSupport.h"
#include "core/CommandLink.h"
#include "core/DevicePermission.h"
#include "core/DeviceScan.h"
#include "core/FirmwareProgramming.h"
#include "core/StatusReporting.h"

namespace {

// A hidraw node whose permissions keep this user out.
class DeniedNode : public hidport::SimulatedHidDevice {
  public:
    DeniedNode(uint16_t vid, uint16_t pid, std::string node)
        : vid_(vid), pid_(pid), node_(std::move(node)) {}
    uint16_t vendorId() const override { return vid_; }
    uint16_t productId() const override { return pid_; }
    size_t outputReportLength() const override { return 65; }
    bool open() override { return false; }
    std::string permissionDeniedNode() const override { return node_; }
    void close() override {}
    int read(unsigned char*, size_t, int) override { return -1; }
    int write(const unsigned char*, size_t, int) override { return -1; }

  private:
    uint16_t vid_, pid_;
    std::string node_;
};

std::string deniedLine(const std::string& node) {
    return "Cannot open the GPS at " + node +
           ": permission denied. Install the udev rules 70-quorta-gps.rules (from the "
           "package, or packaging/linux in the source) into /usr/lib/udev/rules.d or "
           "/etc/udev/rules.d, then unplug the GPS and plug it in "
           "again.\r\n";
}

class PermissionTest : public testing_support::SimGpsTest {
  protected:
    void SetUp() override {
        SimGpsTest::SetUp();
        core::forgetPermissionProblem();  // nothing told yet in this process
    }
    // As a device event does: scan, then refresh the window.
    void rescan() {
        core::state().scanInProgress = false;
        core::deviceScan();
        core::refreshControls();
    }
};

TEST_F(PermissionTest, DeniedGpsIsExplainedOncePerArrival) {
    // A device that refuses for another reason is not a permission problem.
    sim::GpsConfig config;
    config.faults.openFailures = -1;
    sim::SimulatedGps& gps = addGps(config);
    gps.plugIn(sim::GpsMode::Application);
    rescan();
    EXPECT_EQ(logText().find("permission denied"), std::string::npos);
    EXPECT_NE(core::state().statusDetail(), core::kPermissionDeniedDetail);
    gps.unplug();

    auto node =
        std::make_shared<DeniedNode>(core::kGpsVendorId, core::kGpsAppProductId, "/dev/hidraw7");
    machine->usbDevices().addDevice("USB\\VID_2B29&PID_0055&REV_0100");
    hidport::addSimulatedDevice(node);
    rescan();
    EXPECT_EQ(countLog(deniedLine("/dev/hidraw7")), 1);
    EXPECT_EQ(core::state().statusDetail(), core::kPermissionDeniedDetail);
    EXPECT_FALSE(core::state().ishf);

    // More device events rescan: the advice stays in view, the log does not
    // repeat it.
    rescan();
    rescan();
    EXPECT_EQ(countLog(deniedLine("/dev/hidraw7")), 1);
    EXPECT_EQ(core::state().statusDetail(), core::kPermissionDeniedDetail);

    // Unplugged: the advice goes. Plugged in again, still denied: told again.
    machine = std::make_unique<sim::SimulatedMachine>(&clock);
    services.usbDevices = &machine->usbDevices();
    applyServices();
    hidport::clearSimulatedDevices();
    rescan();
    EXPECT_EQ(core::state().statusDetail(), " ");  // the plain "connect" screen
    machine->usbDevices().addDevice("USB\\VID_2B29&PID_0055&REV_0100");
    hidport::addSimulatedDevice(node);
    rescan();
    EXPECT_EQ(countLog(deniedLine("/dev/hidraw7")), 2);
    EXPECT_EQ(core::state().statusDetail(), core::kPermissionDeniedDetail);
}

TEST_F(PermissionTest, ANodeGivenToTheUserLateIsShownWithoutAdvice) {
    // udev gives the user the node three seconds after it appeared.
    sim::GpsConfig config;
    config.faults.linkAccessLateMs = 3000;
    sim::SimulatedGps& gps = addGps(config);
    gps.plugIn(sim::GpsMode::Application);
    rescan();
    EXPECT_TRUE(core::state().ishf);
    EXPECT_EQ(core::deviceRecord().snapshot().connectedText,
              "Heron GPS connected\nVer: 7.62\nJapanese");
    EXPECT_EQ(logText().find("permission denied"), std::string::npos);
    EXPECT_NE(core::state().statusDetail(), core::kPermissionDeniedDetail);
}

TEST_F(PermissionTest, DeniedRomBootloaderIsExplainedAfterTheRun) {
    hidport::addSimulatedDevice(std::make_shared<DeniedNode>(
        core::kRomBootloaderVendorId, core::kRomBootloaderProductId, "/dev/hidraw2"));
    core::onEmergencyProgramFlashMode(core::deviceRecord(), 5, 60);
    EXPECT_TRUE(logged("Program flash failed\r\n"));
    EXPECT_EQ(countLog(deniedLine("/dev/hidraw2")), 1);
    EXPECT_EQ(core::state().statusDetail(), core::kPermissionDeniedDetail);
}

}  // namespace
