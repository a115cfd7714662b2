// The simulated GPS's side of the radio update, the font packs, the factory
// reset, the erase of the bonding keys and its drive, at the level of raw
// link frames.
#include <filesystem>

#include "DeviceTestSupport.h"
#include "SimGpsConfigs.h"
#include "sim/SimulatedFirmware.h"

namespace device_test {
namespace {

namespace fs = std::filesystem;
using sim::GpsMode;

constexpr int kEnoughReads = 4000;

// What the device answered to one command, read until `done` or silence.
struct Answers {
    std::vector<sim::InputReport> reports;
    int ticks = 0;
    std::vector<std::string> texts;  // DEVICE_TEXT other than ticks
    std::optional<uint8_t> failureCode;
};

class Workflows : public DeviceTest {
  protected:
    sim::SimulatedGps& gpsOfType(int type, bool japanese = true) {
        return runningGps(testing_support::gpsConfig(type, japanese, 14, 51));
    }
    // The radio files as the updater leaves them; the image's length and CRC.
    std::pair<uint32_t, uint16_t> putRadioFiles(const sim::SimulatedGps& gps, size_t length,
                                                bool withInitPacket) {
        const std::vector<uint8_t> bin = pattern(length, 3);
        writeFile(gps.driveFolder() + "/nrf_update.bin", bin);
        if (withInitPacket) writeFile(gps.driveFolder() + "/nrf_update.dat", pattern(135, 9));
        return {static_cast<uint32_t>(length), sim::radioImageCrc16(bin.data(), bin.size())};
    }
    Answers updateRadio(uint32_t length, uint16_t crc, int silenceMs = 60000) {
        LinkHost link;
        EXPECT_TRUE(link.isOpen());
        Answers a;
        link.send(sim::commandReport(UPDATE_NORDIC, crc, length));
        for (int i = 0; i < kEnoughReads; ++i) {
            int n = 0;
            sim::InputReport r = link.read(silenceMs, &n);
            if (n <= 0) break;
            a.reports.push_back(r);
            if (r[1] == '%') {
                a.failureCode = r[1];
                break;
            }
            auto text = LinkHost::text(r);
            if (text && text->rfind('*', 0) == 0) {
                ++a.ticks;
            } else if (text) {
                a.texts.push_back(*text);
                if (*text == "Succus!!") break;
            }
        }
        return a;
    }
    // The status letters (second byte of each raw report) after KANJI_PROGRAM_FLASH.
    std::string loadFonts(int64_t* lastLetterAfterMs = nullptr) {
        LinkHost link;
        EXPECT_TRUE(link.isOpen());
        const int64_t start = clock.nowMs();
        link.send(KANJI_PROGRAM_FLASH);
        std::string letters;
        for (int i = 0; i < 100; ++i) {
            int n = 0;
            sim::InputReport r = link.read(60000, &n);
            if (n <= 0) break;
            if (r[1] >= 'A' && r[1] <= 'D') {
                letters += static_cast<char>(r[1]);
                if (lastLetterAfterMs) *lastLetterAfterMs = clock.nowMs() - start;
            }
            if (r[1] == 'B' || r[1] == 'C' || r[1] == 'D') break;
        }
        return letters;
    }
    void putFonts(const sim::SimulatedGps& gps, std::vector<std::string> names, long shortBy = 0) {
        for (const std::string& name : names) {
            std::vector<uint8_t> bytes(*sim::fontPackSize(name) - shortBy, 0x5A);
            writeFile(gps.driveFolder() + "/" + name, bytes);
        }
    }
    std::optional<std::string> askRadioVersion() {
        LinkHost link;
        link.send(NRF_GET_VERSION);
        int n = 0;
        sim::InputReport r = link.read(30000, &n);
        if (n > 0) return LinkHost::text(r);
        return std::nullopt;
    }
};

TEST_F(Workflows, RadioUpdateTicksSuccusAndRestartsWithTheCarriedBuild) {
    sim::SimulatedGps& gps = gpsOfType(13);
    gps.setRadioBuild(1031039);
    EXPECT_EQ(askRadioVersion(), "nRF VERSION: 2.10.31.39");
    auto [length, crc] = putRadioFiles(gps, 113720, true);

    Answers a = updateRadio(length, crc);
    EXPECT_EQ(a.ticks, gps.config().timing.radioTicks);
    EXPECT_GE(a.ticks, 1225);  // the updater's last progress step is at read 1225
    EXPECT_EQ(a.texts, (std::vector<std::string>{"Succus!!"}));
    EXPECT_FALSE(a.failureCode);

    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);
    EXPECT_TRUE(gps.driveMounted());
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::VolumeRemoveComplete, DeviceEvent::DevNodesChanged,
                      DeviceEvent::DevNodesChanged, DeviceEvent::VolumeArrival}));
    EXPECT_EQ(gps.radioBuild(), 1333026);  // what the updater carries for type 13
    EXPECT_EQ(askRadioVersion(), "nRF VERSION: 2.13.33.26");
    EXPECT_TRUE(fs::exists(gps.driveFolder() + "/nrf_update.bin"));  // left for the device
}

TEST_F(Workflows, TheRadioRestartWaitsUntilSuccusWasRead) {
    // With no time of its own the device would be gone before the host had
    // read a single tick, were the restart not held until the news is out.
    sim::SimulatedGps& gps = gpsOfType(15);
    gps.setTiming(sim::GpsTiming::instant());
    gps.setRadioBuild(1333026);
    auto [length, crc] = putRadioFiles(gps, 103016, true);
    Answers a = updateRadio(length, crc);
    EXPECT_EQ(a.ticks, 1300);
    EXPECT_EQ(a.texts, (std::vector<std::string>{"Succus!!"}));
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.radioBuild(), 1332013);

    // Nobody reading: it restarts all the same.
    gps.setRadioBuild(1333026);
    {
        LinkHost link;
        link.send(sim::commandReport(UPDATE_NORDIC, crc, length));
    }
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.radioBuild(), 1332013);
}

TEST(RadioImageCrc, CheckValue) {
    const char* check = "123456789";
    EXPECT_EQ(sim::radioImageCrc16(reinterpret_cast<const uint8_t*>(check), 9), 0x29B1);
    EXPECT_EQ(sim::radioImageCrc16(nullptr, 0), 0xFFFF);
}

TEST_F(Workflows, RadioFilesThatFailTheCheckAreAnsweredWithPercent) {
    sim::SimulatedGps& gps = gpsOfType(13);
    gps.setRadioBuild(1031039);
    auto [length, crc] = putRadioFiles(gps, 113720, false);
    EXPECT_EQ(updateRadio(length, crc).failureCode, '%');  // no init packet
    EXPECT_TRUE(sawActivity(gps, "radio update refused: nrf_update.dat missing"));

    putRadioFiles(gps, 113720, true);
    EXPECT_EQ(updateRadio(length, static_cast<uint16_t>(crc ^ 1)).failureCode, '%');
    EXPECT_EQ(updateRadio(length + 1, crc).failureCode, '%');
    EXPECT_TRUE(sawActivity(gps,
                            "radio update refused: nrf_update.bin has 113720 bytes, "
                            "113721 announced"));
    // An empty copy where the updater announced the whole image.
    writeFile(gps.driveFolder() + "/nrf_update.bin", {});
    EXPECT_EQ(updateRadio(length, crc).failureCode, '%');
    fs::remove(gps.driveFolder() + "/nrf_update.bin");
    EXPECT_EQ(updateRadio(length, crc).failureCode, '%');
    EXPECT_TRUE(sawActivity(gps, "radio update refused: nrf_update.bin missing"));

    // A command without its arguments.
    LinkHost link;
    link.send(UPDATE_NORDIC);
    EXPECT_EQ(link.read(60000)[1], '%');
    link.close();
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);  // nothing refused restarts the radio
    EXPECT_EQ(gps.radioBuild(), 1031039);
}

TEST_F(Workflows, RadioFaults) {
    sim::SimulatedGps& gps = gpsOfType(5);
    gps.setRadioBuild(102007);
    sim::GpsTiming fast = gps.config().timing;
    fast.radioTicks = 20;
    gps.setTiming(fast);
    auto [length, crc] = putRadioFiles(gps, 112440, false);  // types 4 to 10: no init packet

    gps.setFaults({.radioUpdateFails = true});
    Answers failed = updateRadio(length, crc);
    ASSERT_TRUE(failed.failureCode);
    EXPECT_EQ(failed.reports.back()[0], 0x01);  // a frame whose code is '%'

    gps.setFaults({.radioUpdateSilent = true});
    Answers silent = updateRadio(length, crc);
    EXPECT_TRUE(silent.reports.empty());

    gps.setFaults({});
    gps.unplugAt({sim::GpsStep::RadioProgramming, -1, -1});
    Answers cut = updateRadio(length, crc);
    EXPECT_LE(cut.ticks, 10);  // what the host had not read yet went with the device
    EXPECT_TRUE(cut.texts.empty());
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Unplugged);
    EXPECT_EQ(gps.radioBuild(), 102007);
}

TEST_F(Workflows, RadioVersionFaults) {
    sim::SimulatedGps& gps = gpsOfType(12);
    gps.setFaults({.radioVersionTwoDots = true});
    EXPECT_EQ(askRadioVersion(), "nRF VERSION: 2.13.33");

    gps.setFaults({.silentRadio = true});
    EXPECT_EQ(askRadioVersion(), std::nullopt);
    sim::GpsTiming fast = gps.config().timing;
    fast.radioTicks = 5;
    gps.setTiming(fast);
    auto [length, crc] = putRadioFiles(gps, 113716, true);
    EXPECT_EQ(updateRadio(length, crc).texts, (std::vector<std::string>{"Succus!!"}));
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(askRadioVersion(), "nRF VERSION: 2.13.33.26");  // the new radio firmware answers
    EXPECT_FALSE(gps.config().faults.silentRadio);
}

TEST_F(Workflows, FontPacksAnsweredAThenB) {
    sim::SimulatedGps& gps = gpsOfType(5);
    putFonts(gps, {"Kanji_11x12.bin", "Kanji_18x18.bin"});
    int64_t lastAfter = 0;
    EXPECT_EQ(loadFonts(&lastAfter), "AB");
    EXPECT_GE(lastAfter, 2 * gps.config().timing.fontLoadMs);

    // A pack of the wrong size fails where it stands.
    putFonts(gps, {"Kanji_18x18.bin"}, 1);
    EXPECT_EQ(loadFonts(), "AD");
    EXPECT_TRUE(sawActivity(gps, "fonts: D (Kanji_18x18.bin has 343169 bytes)"));
    fs::remove(gps.driveFolder() + "/Kanji_11x12.bin");
    EXPECT_EQ(loadFonts(), "D");

    putFonts(gps, {"Kanji_11x12.bin", "Kanji_18x18.bin"});
    gps.setFaults({.fontFailAfterPacks = 1});
    EXPECT_EQ(loadFonts(), "AD");
    gps.setFaults({.fontFailAfterPacks = 0});
    EXPECT_EQ(loadFonts(), "D");
}

TEST_F(Workflows, CondorTypesLoadOnePackAnsweredC) {
    sim::SimulatedGps& gps = gpsOfType(11);
    putFonts(gps, {"Kanji_11x12.bin", "Kanji_18x18.bin"});  // not theirs
    EXPECT_EQ(loadFonts(), "D");
    putFonts(gps, {"Kanji_19x19.bin"});
    EXPECT_EQ(loadFonts(), "C");
}

TEST_F(Workflows, FactoryResetEmptiesTheQuortaFolderAndRestarts) {
    sim::SimulatedGps& gps = gpsOfType(13);
    const std::string quorta = gps.driveFolder() + "/Quorta";
    fs::create_directories(quorta + "/Rides/2024");
    writeFile(quorta + "/Rides/2024/ride1.fit", pattern(5000, 1));
    writeFile(quorta + "/settings.json", pattern(100, 2));
    writeFile(gps.driveFolder() + "/nrf_update.bin", pattern(10, 3));

    {
        LinkHost link;
        link.send(FACTORY_RESET);
    }
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);
    EXPECT_TRUE(gps.driveMounted());
    EXPECT_TRUE(fs::is_directory(quorta));
    EXPECT_TRUE(fs::is_empty(quorta));
    EXPECT_TRUE(fs::exists(gps.driveFolder() + "/nrf_update.bin"));
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::VolumeRemoveComplete, DeviceEvent::DevNodesChanged,
                      DeviceEvent::DevNodesChanged, DeviceEvent::VolumeArrival}));
}

TEST_F(Workflows, EjectedDriveStaysAwayUntilTheDeviceRestarts) {
    sim::SimulatedGps& gps = gpsOfType(5);
    {
        auto volume = machine->ejector().open(gps.driveRoot());
        ASSERT_TRUE(volume);
        EXPECT_TRUE(volume->lock());
        EXPECT_TRUE(volume->dismount());
        EXPECT_TRUE(volume->allowRemoval());
        EXPECT_TRUE(volume->eject());
    }
    EXPECT_FALSE(gps.driveMounted());
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::VolumeRemoveComplete}));
    EXPECT_EQ(machine->ejector().open(gps.driveRoot()), nullptr);

    // The command link still works without the drive.
    EXPECT_EQ(askRadioVersion(), "nRF VERSION: 2.10.31.39");
    {
        LinkHost link;
        link.send(FACTORY_RESET);
    }
    ASSERT_TRUE(gps.waitForDrive(true, kPatience));
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::DevNodesChanged, DeviceEvent::DevNodesChanged,
                                       DeviceEvent::VolumeArrival}));
}

TEST_F(Workflows, DriveMissingAndReadOnlyOnRequest) {
    sim::SimulatedGps& gps = gpsOfType(5);
    gps.setFaults({.driveMissing = true});
    EXPECT_FALSE(gps.driveMounted());
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::VolumeRemoveComplete}));
    gps.setFaults({});
    EXPECT_TRUE(gps.driveMounted());
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::VolumeArrival}));

    const std::string quorta = gps.driveFolder() + "/Quorta";
    writeFile(quorta + "/ride.fit", pattern(64, 1));
    gps.setFaults({.driveReadOnly = true});
    EXPECT_TRUE(gps.driveMounted());
    {
        std::ofstream fresh(gps.driveFolder() + "/nrf_update.bin", std::ios::binary);
        EXPECT_FALSE(fresh.is_open());
        std::ofstream existing(quorta + "/ride.fit", std::ios::binary | std::ios::app);
        EXPECT_FALSE(existing.is_open());
    }
    std::error_code ec;
    EXPECT_FALSE(fs::remove(quorta + "/ride.fit", ec));

    // The device itself still works on its drive.
    {
        LinkHost link;
        link.send(FACTORY_RESET);
    }
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_TRUE(fs::is_empty(quorta));
    {
        std::ofstream stillLocked(quorta + "/new.fit", std::ios::binary);
        EXPECT_FALSE(stillLocked.is_open());
    }
    gps.setFaults({});
    std::ofstream writable(quorta + "/new.fit", std::ios::binary);
    EXPECT_TRUE(writable.is_open());
}

TEST_F(Workflows, EraseKeysReportsAsText) {
    gpsOfType(5);
    LinkHost link;
    link.send(NORDIC_ERASE_KEYS);
    std::vector<std::string> texts;
    for (int i = 0; i < 5 && texts.size() < 2; ++i) {
        int n = 0;
        sim::InputReport r = link.read(10000, &n);
        if (n > 0) texts.emplace_back(reinterpret_cast<const char*>(r.data()));
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Erasing bonding keys\r\n", "Bonding keys erased\r\n"}));
}

TEST_F(Workflows, EveryOpenHandleHearsTheDeviceFromItsOpenOn) {
    gpsOfType(5);
    LinkHost asker, listener;
    ASSERT_TRUE(asker.isOpen());
    ASSERT_TRUE(listener.isOpen());
    asker.send(READ_DEVICE_INFO);
    for (LinkHost* host : {&asker, &listener}) {
        auto payload = sim::decodeReplyReport(host->read(30000));
        ASSERT_TRUE(payload);
        EXPECT_EQ((*payload)[0], READ_DEVICE_INFO);
        EXPECT_EQ((*payload)[1], 65);
    }
    LinkHost late;
    ASSERT_TRUE(late.isOpen());
    int n = 1;
    late.read(2000, &n);
    EXPECT_EQ(n, 0);  // nothing from before it opened
}

TEST_F(Workflows, UnpluggedWhileTheHostWaits) {
    sim::SimulatedGps& gps = gpsOfType(5);
    putFonts(gps, {"Kanji_11x12.bin", "Kanji_18x18.bin"});
    gps.unplugAt({sim::GpsStep::FontLoading, -1, 5000});
    EXPECT_EQ(loadFonts(), "");
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    EXPECT_EQ(gps.mode(), GpsMode::Application);  // plugged back and booted
    EXPECT_TRUE(sawActivity(gps, "unplugged at FontLoading"));
}

}  // namespace
}  // namespace device_test
