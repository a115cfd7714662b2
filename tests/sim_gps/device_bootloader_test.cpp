// The simulated GPS's way through its bootloaders: JUMP_TO_BL, the flash
// bootloader's identity and flash, the boot after a reset, the ROM
// bootloader, and the cable pulled at a step.
#include "DeviceTestSupport.h"
#include "SimGpsConfigs.h"

namespace device_test {
namespace {

using sim::GpsMode;

class BootloaderRoad : public DeviceTest {
  protected:
    // Sends JUMP_TO_BL and waits for the flash bootloader.
    void jump(sim::SimulatedGps& gps) {
        LinkHost link;
        ASSERT_TRUE(link.isOpen());
        link.send(JUMP_TO_BL);
        link.close();
        ASSERT_TRUE(gps.waitForMode(GpsMode::FlashBootloader, kPatience));
    }
    std::optional<int> readInfoVersion() {
        LinkHost link;
        if (!link.isOpen()) return std::nullopt;
        link.send(READ_DEVICE_INFO);
        for (int i = 0; i < 5; ++i) {
            auto payload = sim::decodeReplyReport(link.read(30000));
            if (payload && payload->size() >= 4 && (*payload)[0] == READ_DEVICE_INFO)
                return (*payload)[1] * 10000 + (*payload)[2] * 100 + (*payload)[3];
        }
        return std::nullopt;
    }
};

TEST_F(BootloaderRoad, JumpProgramResetComesBackWithTheNewVersion) {
    sim::SimulatedGps& gps = runningGps();  // type 5, Japanese, 7.62
    ASSERT_EQ(gps.checkFlashImage(), images::ImageCheck::ok);

    const int64_t start = clock.nowMs();
    jump(gps);
    const sim::GpsTiming t = gps.config().timing;
    EXPECT_GE(clock.nowMs() - start, t.leaveMs + t.bootloaderShowMs);
    EXPECT_EQ(gps.hardwareId(), "USB\\VID_2B29&PID_0041&REV_0100");
    EXPECT_FALSE(gps.driveMounted());
    EXPECT_EQ(hidport::hid_open(kGpsVid, kAppPid, nullptr), nullptr);
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::VolumeRemoveComplete, DeviceEvent::DevNodesChanged,
                      DeviceEvent::DevNodesChanged}));

    const std::vector<uint8_t> update = image(5, true, 7, 63);
    {
        BootloaderHost bl(kGpsVid, 0x41);
        ASSERT_TRUE(bl.isOpen());
        EXPECT_EQ(bl.erase(0, 0x1000), 10200);  // its own sectors stay its own
        EXPECT_EQ(bl.erase(0xa000, 0x76000), 0);
        EXPECT_EQ(bl.write(0xa000, update), 0);
        const int64_t resetAt = clock.nowMs();
        EXPECT_EQ(bl.reset(), 0);  // answered before the device goes
        ASSERT_TRUE(gps.waitForMode(GpsMode::Application, kPatience));
        EXPECT_GE(clock.nowMs() - resetAt, t.resetLeaveMs + t.bootMs);
    }
    ASSERT_TRUE(gps.waitForDrive(true, kPatience));
    EXPECT_EQ(readInfoVersion(), 65 * 10000 + 7 * 100 + 63);
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::DevNodesChanged, DeviceEvent::DevNodesChanged,
                                       DeviceEvent::VolumeArrival}));
    EXPECT_TRUE(sawActivity(gps, "booted 7.63 Japanese"));
    EXPECT_EQ(gps.readFlash(0xa000, update.size()), update);
}

TEST_F(BootloaderRoad, TheVariantWrittenIsTheVariantBootedAndNamed) {
    sim::SimulatedGps& gps = runningGps(testing_support::gpsConfig(11, false, 12, 5));
    jump(gps);
    EXPECT_EQ(gps.usbProductId(), 11);
    {
        BootloaderHost bl(kGpsVid, 11);
        ASSERT_TRUE(bl.isOpen());
        ASSERT_EQ(bl.erase(0xa000, 0x76000), 0);
        ASSERT_EQ(bl.write(0xa000, image(11, true, 14, 51)), 0);
        ASSERT_EQ(bl.reset(), 0);
    }
    ASSERT_TRUE(gps.waitForMode(GpsMode::Application, kPatience));
    EXPECT_EQ(gps.rawId(), 71);
    EXPECT_EQ(readInfoVersion(), 71 * 10000 + 14 * 100 + 51);
    jump(gps);
    EXPECT_EQ(gps.usbProductId(), 71);  // now the Japanese bootloader identity
}

TEST_F(BootloaderRoad, WhatDoesNotBootLandsInTheRomBootloader) {
    sim::SimulatedGps& gps = runningGps();
    const std::vector<uint8_t> good = image(5, true, 7, 63);
    const size_t half = good.size() / 2;

    struct Case {
        const char* why;
        std::vector<uint8_t> bytes;
        size_t count;
    };
    std::vector<uint8_t> damaged = good;
    damaged[0x8000] ^= 0x01;
    const std::vector<Case> cases = {
        // Half written: the erased rest does not match what was built.
        {"boot failed: image checksum mismatch", good, half},
        {"boot failed: image checksum mismatch", damaged, damaged.size()},
        {"boot failed: image for device type 6", image(6, true, 7, 63), good.size()},
        {"boot failed: bad vector table", good, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        gps.plugIn(GpsMode::FlashBootloader);
        {
            BootloaderHost bl(kGpsVid, 0x41);
            ASSERT_TRUE(bl.isOpen());
            ASSERT_EQ(bl.erase(0xa000, 0x76000), 0);
            if (c.count > 0) {
                ASSERT_EQ(bl.write(0xa000, c.bytes, 0, c.count), 0);
            }
            ASSERT_EQ(bl.reset(), 0);
        }
        ASSERT_TRUE(gps.waitForMode(GpsMode::RomBootloader, kPatience));
        EXPECT_EQ(gps.hardwareId(), "USB\\VID_15A2&PID_0073&REV_0100");
        EXPECT_TRUE(sawActivity(gps, c.why));
    }

    // The last case left an erased application. The ROM bootloader's own
    // reset boots it again once something whole is there; without an erase
    // the write only fits flash that is still erased.
    {
        BootloaderHost rom(kRomVid, kRomPid);
        ASSERT_TRUE(rom.isOpen());
        ASSERT_EQ(rom.reset(), 0);
    }
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    ASSERT_EQ(gps.mode(), GpsMode::RomBootloader);
    EXPECT_EQ(gps.romBootloader().resetCount(), 1);
    {
        BootloaderHost rom(kRomVid, kRomPid);
        ASSERT_TRUE(rom.isOpen());
        EXPECT_EQ(rom.write(0xa000, good, 0, half), 0);
        EXPECT_EQ(rom.write(0xa000 + half, good, half, good.size() - half), 0);
        EXPECT_EQ(rom.reset(), 0);
    }
    ASSERT_TRUE(gps.waitForMode(GpsMode::Application, kPatience));
    EXPECT_EQ(gps.readFlash(0xa000, good.size()), good);
    EXPECT_EQ(gps.flashBootloader().flash().read(0xa000, good.size()), good);
}

TEST_F(BootloaderRoad, PluggedInTheRomBootloaderThereIsNothingToBoot) {
    sim::SimulatedGps& gps = addGps();
    gps.plugIn(GpsMode::RomBootloader);
    EXPECT_NE(gps.checkFlashImage(), images::ImageCheck::ok);
    EXPECT_TRUE(gps.romBootloader().flash().isErased(0xa000, 0x76000));
    {
        BootloaderHost rom(kRomVid, kRomPid);
        ASSERT_TRUE(rom.isOpen());
        ASSERT_EQ(rom.write(0xa000, image(5, true, 7, 63)), 0);  // no erase needed
        ASSERT_EQ(rom.reset(), 0);
    }
    ASSERT_TRUE(gps.waitForMode(GpsMode::Application, kPatience));
    EXPECT_EQ(readInfoVersion(), 65 * 10000 + 7 * 100 + 63);
    EXPECT_TRUE(gps.romBootloader().receivedCommands() ==
                (std::vector<uint8_t>{4, 11}));  // write and reset only
}

TEST_F(BootloaderRoad, ResetAnswerNeverReadStillRestarts) {
    sim::SimulatedGps& gps = runningGps();
    jump(gps);
    {
        BootloaderHost bl(kGpsVid, 0x41);
        ASSERT_TRUE(bl.isOpen());
        ASSERT_GE(bl.command(11, {}), 0);
        ASSERT_TRUE(gps.waitUntilSettled(kPatience));
        EXPECT_EQ(gps.mode(), GpsMode::Application);
        EXPECT_EQ(bl.status(10), std::nullopt);  // the handle died with the device
    }
    EXPECT_TRUE(sawActivity(gps, "booted 7.62 Japanese"));
}

TEST_F(BootloaderRoad, BootloaderOpensFailFirst) {
    sim::GpsConfig config;
    config.faults.bootloaderOpenFailures = 3;
    sim::SimulatedGps& gps = runningGps(config);
    jump(gps);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(hidport::hid_open(kGpsVid, 0x41, nullptr), nullptr);
    BootloaderHost bl(kGpsVid, 0x41);
    EXPECT_TRUE(bl.isOpen());
    EXPECT_EQ(bl.erase(0xa000, 0x76000), 0);
}

TEST_F(BootloaderRoad, UnpluggedInTheWriteComesBackInTheRomBootloader) {
    sim::SimulatedGps& gps = runningGps();
    jump(gps);
    takeEvents(gps);
    const std::vector<uint8_t> update = image(5, true, 7, 63);
    gps.unplugAt({sim::GpsStep::Write, 100, 3000});
    {
        BootloaderHost bl(kGpsVid, 0x41);
        ASSERT_EQ(bl.erase(0xa000, 0x76000), 0);
        ASSERT_GE(bl.command(4, {0xa000, static_cast<uint32_t>(update.size())}), 0);
        EXPECT_EQ(bl.data(update, 0, update.size()), 100u);
    }
    ASSERT_TRUE(gps.waitForMode(GpsMode::RomBootloader, kPatience));
    EXPECT_TRUE(sawActivity(gps, "unplugged at Write after 100 data packets"));
    EXPECT_TRUE(sawActivity(gps, "boot failed: image checksum mismatch"));
    const std::vector<uint8_t> flash = gps.readFlash(0xa000, update.size());
    EXPECT_TRUE(std::equal(update.begin(), update.begin() + 3200, flash.begin()));
    EXPECT_TRUE(gps.romBootloader().flash().isErased(0xa000 + 3200, update.size() - 3200));
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::DevNodesChanged, DeviceEvent::DevNodesChanged}));

    // Recovered the emergency way: the same image, no erase.
    {
        BootloaderHost rom(kRomVid, kRomPid);
        ASSERT_EQ(rom.write(0xa000, update), 0);
        ASSERT_EQ(rom.reset(), 0);
    }
    ASSERT_TRUE(gps.waitForMode(GpsMode::Application, kPatience));
    EXPECT_TRUE(sawActivity(gps, "booted 7.63 Japanese"));
}

TEST_F(BootloaderRoad, UnpluggedAtAShareOfTheWrite) {
    sim::SimulatedGps& gps = runningGps();
    jump(gps);
    const std::vector<uint8_t> update = image(5, true, 7, 63);
    sim::UnplugPlan plan;
    plan.step = sim::GpsStep::Write;
    plan.afterWritePercent = 50;
    gps.unplugAt(plan);
    BootloaderHost bl(kGpsVid, 0x41);
    ASSERT_EQ(bl.erase(0xa000, 0x76000), 0);
    ASSERT_GE(bl.command(4, {0xa000, static_cast<uint32_t>(update.size())}), 0);
    // Half of the packets the write announced, as the device counts them.
    EXPECT_EQ(bl.data(update, 0, update.size()), (update.size() + 31) / 32 / 2);
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);
}

TEST_F(BootloaderRoad, UnpluggedAtNamedSteps) {
    sim::SimulatedGps& gps = runningGps();

    // Before the erase: nothing erased, and powered on it runs the old firmware.
    jump(gps);
    gps.unplugAt({sim::GpsStep::Erase, -1, -1});
    {
        BootloaderHost bl(kGpsVid, 0x41);
        EXPECT_EQ(bl.command(2, {0xa000, 0x76000}), -1);
    }
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);
    EXPECT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);  // stays out until plugged back
    EXPECT_EQ(gps.checkFlashImage(), images::ImageCheck::ok);
    gps.powerOn();
    EXPECT_EQ(gps.mode(), GpsMode::Application);
    ASSERT_TRUE(gps.waitForDrive(true, kPatience));

    // At JUMP_TO_BL, plugged back: the application again, never the bootloader.
    gps.unplugAt({sim::GpsStep::JumpToBootloader, -1, 2000});
    {
        LinkHost link;
        link.send(JUMP_TO_BL);
    }
    EXPECT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);
    EXPECT_TRUE(sawActivity(gps, "unplugged at JumpToBootloader"));
    EXPECT_TRUE(sawActivity(gps, "plugged back in"));

    // Just as the bootloader shows.
    gps.unplugAt({sim::GpsStep::BootloaderShown, -1, -1});
    {
        LinkHost link;
        link.send(JUMP_TO_BL);
    }
    EXPECT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);
    EXPECT_TRUE(sawActivity(gps, "unplugged at BootloaderShown"));
}

TEST_F(BootloaderRoad, APullOfTheCableCancelsARestartInProgress) {
    sim::SimulatedGps& gps = runningGps();
    {
        LinkHost link;
        link.send(JUMP_TO_BL);
    }
    gps.unplug();  // before the device had even left
    EXPECT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);
    gps.plugIn();
    EXPECT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);
}

TEST_F(BootloaderRoad, HandlesDieWithTheIdentityTheyOpened) {
    sim::SimulatedGps& gps = runningGps();
    LinkHost stale;
    ASSERT_TRUE(stale.isOpen());
    stale.send(FACTORY_RESET);
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    ASSERT_EQ(gps.mode(), GpsMode::Application);
    int result = 0;
    stale.read(10, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(stale.send(READ_DEVICE_INFO), -1);
    EXPECT_TRUE(readInfoVersion().has_value());  // a new handle works
}

}  // namespace
}  // namespace device_test
