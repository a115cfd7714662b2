// Main firmware programming against the simulated bootloader target: the
// three sessions, what lands in flash, the progress, and the emergency road.
// (Runs that do not go through: programming_faults_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "ProgrammingTest.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/images/ImageVersionBlock.h"

namespace {

using sim::BootloaderFaults;
using sim::protocol::commandBit;
using namespace sim::protocol;
using testing_support::catalogueImage;
using testing_support::ProgrammingTest;

TEST(ProgrammingPieces, HexTextFitsItsBufferOrIsRefused) {
    std::vector<uint8_t> image(431952, 0x5A);
    image[0] = 0x0a;
    image[1] = 0xff;
    auto text = core::buildProgramHexText(image.data(), image.size());
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 863908u);
    EXPECT_EQ(text->substr(0, 6), "{{0AFF");
    EXPECT_EQ(text->substr(text->size() - 4), "5A}}");

    // The largest image that fits leaves room for the NUL; one byte more is
    // refused before anything is written.
    std::vector<uint8_t> largest(core::kLargestProgrammableImage, 0x11);
    auto full = core::buildProgramHexText(largest.data(), largest.size());
    ASSERT_TRUE(full);
    EXPECT_EQ(full->size(), 2 * core::kLargestProgrammableImage + 4);
    EXPECT_LT(full->size(), core::kProgramHexTextSize);
    largest.push_back(0x22);
    EXPECT_FALSE(core::buildProgramHexText(largest.data(), largest.size()));
    // The last good text is still whole.
    EXPECT_EQ(full->substr(full->size() - 4), "11}}");
}

TEST(ProgrammingPieces, TheTailPastTheRegionInTheDevicesSectors) {
    EXPECT_EQ(core::eraseArguments(0xa000, 0x76000),
              (std::vector<std::string>{"flash-erase-region", "0xa000", "0x76000"}));
    EXPECT_EQ(core::eraseArguments(0x80000, 0x16000)[1], "0x80000");
    EXPECT_EQ(core::tailEraseLength(459264, 0x1000), 0u);
    EXPECT_EQ(core::tailEraseLength(0x76000, 0x2000), 0u);
    EXPECT_EQ(core::tailEraseLength(0x76001, 0x800), 0x800u);
    // 570,480 bytes end at 0x95470.
    EXPECT_EQ(core::tailEraseLength(570480, 0x800), 0x15800u);
    EXPECT_EQ(core::tailEraseLength(570480, 0x1000), 0x16000u);
    EXPECT_EQ(core::tailEraseLength(570480, 0x2000), 0x16000u);

    using V = std::vector<uint32_t>;
    EXPECT_EQ(core::sectorSizeFromAnswer(V{0, 0x2000}), 0x2000u);
    EXPECT_EQ(core::sectorSizeFromAnswer(V{0, 0x800}), 0x800u);
    for (const V& bad : {V{}, V{0}, V{10300}, V{10004}, V{5, 0x1000}, V{0, 0}, V{0, 3000},
                         V{0, 0x80}, V{0, 0x100000}, V{0, 0xFFFFFFFF}}) {
        EXPECT_FALSE(core::sectorSizeFromAnswer(bad)) << ::testing::PrintToString(bad);
    }
}

TEST(ProgrammingPieces, OnlyAWriteTheDeviceTookWholeCounts) {
    using core::WriteResult;
    EXPECT_EQ(core::judgeWrite(0, "Wrote 100 of 100 bytes."), WriteResult::Written);
    // The device's own failure status fails the write.
    EXPECT_EQ(core::judgeWrite(105, "Wrote 100 of 100 bytes."), WriteResult::Refused);
    EXPECT_EQ(core::judgeWrite(10200, "Wrote 0 of 100 bytes."), WriteResult::Refused);
    EXPECT_EQ(core::judgeWrite(10004, "Wrote 100 of 100 bytes."), WriteResult::Incomplete);
    EXPECT_EQ(core::judgeWrite(10002, "Wrote 100 of 100 bytes."), WriteResult::Incomplete);
    EXPECT_EQ(core::judgeWrite(10000, "Wrote 100 of 100 bytes."), WriteResult::Incomplete);
    EXPECT_EQ(core::judgeWrite(0, "Wrote 64 of 100 bytes."), WriteResult::Incomplete);
    EXPECT_EQ(core::judgeWrite(0, ""), WriteResult::Incomplete);
}

TEST_F(ProgrammingTest, BootloaderModeWritesTheJapaneseImageOverStaleFlash) {
    auto target = plugTarget(core::kGpsVendorId, 11 + 60);
    // An older, longer image everywhere the new one goes, and past it.
    ASSERT_EQ(target->flash().preload(0xa000, std::vector<uint8_t>(0x96000, 0x00)), 0);
    connectDevice(11);
    core::state().gcbn = 60;

    EXPECT_TRUE(core::programInBootloaderMode(11 + 60, core::kGpsVendorId));

    // The driver wait asked once and was answered: no wait of its own.
    EXPECT_EQ(target->receivedCommands(),
              (std::vector<uint8_t>{kCommandTag_GetProperty, kCommandTag_FlashEraseRegion,
                                    kCommandTag_GetProperty, kCommandTag_FlashEraseRegion,
                                    kCommandTag_WriteMemory, kCommandTag_Reset}));
    const std::vector<uint8_t> image = catalogueImage(11, 60);
    ASSERT_EQ(image.size(), 568944u);
    EXPECT_TRUE(flashImage(*target, image.size()) == image);
    images::ImageVersion version;
    const auto onFlash = flashImage(*target, image.size());
    EXPECT_EQ(images::checkImage(onFlash.data(), onFlash.size(), &version), images::ImageCheck::ok);
    EXPECT_EQ(version, (images::ImageVersion{11, 60, 14, 51}));
    // Erased in whole sectors up to 0x95000, and not a sector further.
    EXPECT_TRUE(target->flash().isErased(0xa000 + image.size(), 0x95000 - 0xa000 - image.size()));
    EXPECT_EQ(target->flash().read(0x95000, 0x1000), std::vector<uint8_t>(0x1000, 0x00));
    EXPECT_TRUE(logged("Erasing 0x76000 bytes from 0xa000\r\n"));
    EXPECT_TRUE(logged("Flash sector size 0x1000\r\n"));
    EXPECT_TRUE(logged("Erasing 0x15000 bytes from 0x80000\r\n"));

    EXPECT_EQ(titles().front(), "Condor GPS connected\nErasing");
    EXPECT_TRUE(hasTitle("Condor GPS connected\nProgramming GPS Firmware"));
    EXPECT_TRUE(hasDetail("Programming...Do not unplug"));
    EXPECT_TRUE(hasDetail("Step 3 of 3\nStarted"));
    ASSERT_FALSE(statuses().empty());
    EXPECT_EQ(statuses().back().complete, 1);
    EXPECT_EQ(statuses().back().title, "Condor GPS Flashing success");
    EXPECT_FALSE(core::state().ADF);
    EXPECT_TRUE(hasDetail("Updating drivers"));
    EXPECT_FALSE(hasDetail("Updating drivers\n35% done"));
    EXPECT_EQ(clock.totalSleptMs(), (2 + 5 + 2) * 1000);
}

TEST_F(ProgrammingTest, DriverWaitRunsItsWholeLengthForABootloaderThatDoesNotAnswer) {
    auto target = plugTarget(core::kGpsVendorId, 5 + 60);
    BootloaderFaults faults;
    faults.commandMask = commandBit(kCommandTag_GetProperty);
    faults.noResponse = true;
    target->setFaults(faults);
    connectDevice(5);

    EXPECT_TRUE(core::programInBootloaderMode(5 + 60, core::kGpsVendorId));

    const std::vector<std::string> all = details();
    const auto at = [&](const char* text) { return std::find(all.begin(), all.end(), text); };
    EXPECT_TRUE(at("Updating drivers") < at("Updating drivers\n35% done"));
    EXPECT_TRUE(at("Updating drivers\n35% done") < at("Updating drivers\n70% done"));
    EXPECT_TRUE(at("Updating drivers\n70% done") < all.end());
    EXPECT_TRUE(logged("Driver wait: no answer from the bootloader in 45.0 sec\r\n"));
    // At most the 45 s, then the erase as always.
    EXPECT_LE(clock.totalSleptMs(), (45 + 2 + 5 + 2) * 1000);
    const std::vector<uint8_t> commands = target->receivedCommands();
    EXPECT_GT(std::count(commands.begin(), commands.end(), kCommandTag_GetProperty), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kCommandTag_FlashEraseRegion), 1);
    EXPECT_EQ(statuses().back().title, "Heron GPS Flashing success");
}

TEST_F(ProgrammingTest, TheBarFollowsEraseWriteAndReset) {
    testing_support::RecordingWindow window;
    services.window = &window;
    applyServices();
    auto target = plugTarget(core::kGpsVendorId, 13 + 60);
    connectDevice(13);
    core::state().gcbn = 60;

    ASSERT_TRUE(core::programInBootloaderMode(13 + 60, core::kGpsVendorId));

    // Each step from nothing to its end, always rising, then back to the
    // indeterminate bar; the write moves it report by report.
    std::vector<std::vector<int>> bars;
    for (int percent : window.progress) {
        if (percent == 0) bars.emplace_back();
        ASSERT_FALSE(bars.empty());
        bars.back().push_back(percent);
    }
    ASSERT_EQ(bars.size(), 3u);
    for (const std::vector<int>& bar : bars) {
        EXPECT_EQ(bar.back(), 100);
        EXPECT_TRUE(std::adjacent_find(bar.begin(), bar.end(), std::greater_equal<int>()) ==
                    bar.end());
    }
    EXPECT_EQ(bars[1].size(), 101u);
    EXPECT_EQ(std::count(window.calls.begin(), window.calls.end(), "marquee"), 3);
}

// At a quarter, a half and three quarters of the image's data reports, in
// every update of the run: two sizes, then the first size once more.
TEST_F(ProgrammingTest, QuartersOfEveryWriteAtTheirReports) {
    std::map<int, std::shared_ptr<sim::BootloaderTarget>> targets;
    for (const auto& [type, length] :
         {std::pair{10, 431952ull}, std::pair{11, 570480ull}, std::pair{10, 431952ull}}) {
        std::shared_ptr<sim::BootloaderTarget>& target = targets[type];
        if (!target) target = plugTarget(core::kGpsVendorId, static_cast<uint16_t>(type));
        connectDevice(type, 0);
        core::state().gcbn = -99;
        const uint64_t before = target->dataPacketsReceived();
        std::vector<std::pair<std::string, uint64_t>> said;
        core::reportCallbacks().reportStatus = [&](int, const char*, const char* detail) {
            const std::string text = detail ? detail : "";
            if (text.ends_with("% done")) said.emplace_back(text, target->dataPacketsReceived());
        };
        ASSERT_TRUE(core::programInBootloaderMode(type, core::kGpsVendorId));

        const uint64_t reports = (length + 31) / 32;
        ASSERT_EQ(target->dataPacketsReceived() - before, reports);
        const std::vector<std::pair<std::string, uint64_t>> expected{
            {"Step 3 of 3\n25% done", before + reports / 4},
            {"Step 3 of 3\n50% done", before + 2 * reports / 4},
            {"Step 3 of 3\n75% done", before + 3 * reports / 4}};
        EXPECT_EQ(said, expected) << "type " << type << " after " << before << " reports";
        EXPECT_TRUE(flashImage(*target, length) == catalogueImage(type, 0));
    }
}

TEST(ProgressStep, NeverBackwardsNorPastTheEnd) {
    testing_support::RecordingWindow window;
    core::Services services;
    services.window = &window;
    core::setServices(services);
    {
        core::ProgressStep step(core::ProgressKind::Radio, 100);
        step.reach(30);
        step.reach(20);  // out of order
        step.add(250);   // over the end
        step.reach(90);
        // A second step while the first runs leaves the bar alone.
        core::ProgressStep other(core::ProgressKind::Wait, 100);
        EXPECT_FALSE(other.ownsBar());
        other.reach(50);
    }
    EXPECT_EQ(window.progress, (std::vector<int>{0, 30, 100}));
    EXPECT_EQ(window.calls.back(), "marquee");
    core::setServices(core::Services{});
}

TEST_F(ProgrammingTest, TwoSuccessiveLongImagesBothLand) {
    auto target = plugTarget(core::kGpsVendorId, 11);
    connectDevice(11, 0);

    core::state().gcbn = -99;  // standard, 570,480 bytes
    ASSERT_TRUE(core::programInBootloaderMode(11, core::kGpsVendorId));
    EXPECT_TRUE(flashImage(*target, 570480) == catalogueImage(11, 0));

    core::state().gcbn = 60;  // then the Japanese one over it
    ASSERT_TRUE(core::programInBootloaderMode(11, core::kGpsVendorId));
    const auto japanese = catalogueImage(11, 60);
    EXPECT_TRUE(flashImage(*target, japanese.size()) == japanese);

    EXPECT_EQ(countLog("freeing memory command\r\n"), 2);
    EXPECT_FALSE(anyTitleContains("There was a problem"));
    EXPECT_EQ(titles().back(), "Condor GPS Flashing success");
}

// The erase command is the same on every device; the tail of a long image
// goes in the device's own sectors, whatever their size.
TEST_F(ProgrammingTest, LongImagesLandOnEverySectorSize) {
    const std::vector<uint8_t> image = catalogueImage(11, 60);  // ends at 0x94E70
    for (uint32_t sector : {0x800u, 0x1000u, 0x2000u}) {
        SCOPED_TRACE(sector);
        hidport::clearSimulatedDevices();
        log.clear();
        auto target = plugTarget(core::kGpsVendorId, 11 + 60);
        ASSERT_TRUE(target->setFlashSectorSize(sector));
        ASSERT_EQ(target->flash().preload(0xa000, std::vector<uint8_t>(0x96000, 0x00)), 0);
        connectDevice(11);
        core::state().gcbn = 60;

        EXPECT_TRUE(core::programInBootloaderMode(11 + 60, core::kGpsVendorId));
        EXPECT_TRUE(flashImage(*target, image.size()) == image);
        const uint32_t end = (0xa000 + 568944 + sector - 1) / sector * sector;
        EXPECT_TRUE(target->flash().isErased(0xa000 + image.size(), end - 0xa000 - image.size()));
        EXPECT_EQ(target->flash().read(end, sector), std::vector<uint8_t>(sector, 0x00));
        EXPECT_TRUE(logged("Erasing 0x76000 bytes from 0xa000\r\n"));
        EXPECT_TRUE(logged(core::formatText("Erasing 0x%x bytes from 0x80000\r\n", end - 0x80000)));
        EXPECT_EQ(titles().back(), "Condor GPS Flashing success");
    }
}

TEST_F(ProgrammingTest, EmergencyRoadProgramsTheChosenModelWithoutErasing) {
    auto target = plugTarget(core::kRomBootloaderVendorId, core::kRomBootloaderProductId);
    core::state().forcedDeviceType = -1;

    EXPECT_TRUE(core::onEmergencyProgramFlashMode(core::deviceRecord(), 5, 60));

    EXPECT_EQ(core::state().GRawDevID, 65);
    EXPECT_EQ(core::state().GNormDevID, 5);
    EXPECT_EQ(target->receivedCommands(),
              (std::vector<uint8_t>{kCommandTag_WriteMemory, kCommandTag_Reset}));
    const auto image = catalogueImage(5, 60);
    EXPECT_TRUE(flashImage(*target, image.size()) == image);
    EXPECT_TRUE(logged("onEmergencyProgramFlashMode DeviceTypeToFlash [5] Variant [60]\r\n"));
    EXPECT_TRUE(logged("Using device type override\r\n"));
    EXPECT_EQ(core::state().forcedDeviceType, -1);
    EXPECT_EQ(core::state().gcbn, -99);
    const core::DeviceRecord r = core::deviceRecord().snapshot();
    EXPECT_EQ(r.modelName, "Heron GPS");
    EXPECT_EQ(r.dlv, 60);
    EXPECT_EQ(r.rawId, 65);
    EXPECT_EQ(r.targetMajor, 7);
    EXPECT_EQ(r.targetMinor, 63);
    EXPECT_EQ(core::reportCallbacks().currentDevice.load(), &core::deviceRecord());
}

TEST_F(ProgrammingTest, EmergencyWriteThatDoesNotCompleteIsReported) {
    auto target = plugTarget(core::kRomBootloaderVendorId, core::kRomBootloaderProductId);
    BootloaderFaults f;
    f.silenceAfterDataPackets = 10;
    f.commandMask = commandBit(kCommandTag_WriteMemory);
    target->setFaults(f);

    EXPECT_TRUE(core::onEmergencyProgramFlashMode(core::deviceRecord(), 7, 0));
    EXPECT_EQ(target->resetCount(), 1);
    EXPECT_EQ(statuses().back().detail, "Flashing did not complete");
    EXPECT_EQ(core::state().forcedDeviceType, -1);
    EXPECT_EQ(core::deviceRecord().snapshot().dlv, 0);
}

// Rewriting over another image is refused for ever: the emergency road then
// erases as the bootloader-mode road does and writes once more.
TEST_F(ProgrammingTest, EmergencyWriteRefusedOverAnotherImageIsErasedAndWrittenAgain) {
    auto target = plugTarget(core::kRomBootloaderVendorId, core::kRomBootloaderProductId);
    ASSERT_TRUE(target->setFlashSectorSize(0x2000));
    ASSERT_EQ(target->flash().preload(0xa000, catalogueImage(13, 60)), 0);  // 566,752 bytes

    EXPECT_TRUE(core::onEmergencyProgramFlashMode(core::deviceRecord(), 14, 0));
    EXPECT_EQ(target->receivedCommands(),
              (std::vector<uint8_t>{kCommandTag_WriteMemory, kCommandTag_FlashEraseRegion,
                                    kCommandTag_GetProperty, kCommandTag_FlashEraseRegion,
                                    kCommandTag_WriteMemory, kCommandTag_Reset}));
    const auto image = catalogueImage(14, 0);
    EXPECT_TRUE(flashImage(*target, image.size()) == image);
    EXPECT_TRUE(
        logged("The device refused the write: erasing the flash and writing once more\r\n"));
    EXPECT_TRUE(logged("Erasing 0xa000 bytes from 0x80000\r\n"));  // up to 0x8a000
    EXPECT_FALSE(anyTitleContains("There was a problem"));

    // A device that refuses the second write too: the error, and the reset
    // brings it back to its ROM bootloader for another try.
    hidport::clearSimulatedDevices();
    statusCalls.clear();
    target = plugTarget(core::kRomBootloaderVendorId, core::kRomBootloaderProductId);
    BootloaderFaults f;
    f.commandMask = commandBit(kCommandTag_WriteMemory);
    f.abortAfterDataPackets = 10;
    f.abortStatus = sim::protocol::kStatus_FlashCommandFailure;
    target->setFaults(f);
    EXPECT_TRUE(core::onEmergencyProgramFlashMode(core::deviceRecord(), 5, 60));
    EXPECT_EQ(target->receivedCommands(),
              (std::vector<uint8_t>{kCommandTag_WriteMemory, kCommandTag_FlashEraseRegion,
                                    kCommandTag_WriteMemory, kCommandTag_Reset}));
    EXPECT_EQ(statuses().back().title,
              "There was a problem updating your Heron GPS. Please try again or contact Quorta "
              "technical support.");
    EXPECT_EQ(statuses().back().detail, "Flashing did not complete");
    EXPECT_EQ(core::state().forcedDeviceType, -1);
}

TEST_F(ProgrammingTest, ProductIdFromTheBootloaderPicksTypeAndVariant) {
    // A scan saw 0x45 (type 9 plus 60) with no device record read before.
    auto target = plugTarget(core::kGpsVendorId, 0x45);
    core::state().bootloaderVendorId = core::kGpsVendorId;
    core::state().bootloaderProductId = 0x45;

    core::state().gcbn = 0;
    ASSERT_TRUE(core::programFlash());
    EXPECT_TRUE(hasTitle("Emergency Mode\nUsing product id from bootloader"));
    EXPECT_TRUE(logged("\n-- Flash AA m:9 gcbn:0 lv:0 --\r\n"));
    EXPECT_TRUE(flashImage(*target, 464568) == catalogueImage(9, 0));

    target->flash().eraseAll();
    core::state().gcbn = 60;
    ASSERT_TRUE(core::programFlash());
    EXPECT_TRUE(logged("\n-- Flash AA m:9 gcbn:60 lv:60 --\r\n"));
    EXPECT_TRUE(flashImage(*target, 478464) == catalogueImage(9, 60));
}

TEST_F(ProgrammingTest, TheWriteLeavesTheSharedImageBufferAlone) {
    // What a radio update may have decoded there meanwhile.
    std::fill_n(images::imageBuffer, 200'000, uint8_t{0xA5});
    auto target = plugTarget(core::kGpsVendorId, 10);
    core::state().bootloaderVendorId = core::kGpsVendorId;
    core::state().bootloaderProductId = 10;
    ASSERT_TRUE(core::programFlash());
    EXPECT_TRUE(std::all_of(images::imageBuffer, images::imageBuffer + 200'000,
                            [](uint8_t b) { return b == 0xA5; }));
    EXPECT_TRUE(flashImage(*target, 431952) == catalogueImage(10, 0));
}

TEST_F(ProgrammingTest, AnInvalidTypeWritesNothing) {
    auto target = plugTarget(core::kGpsVendorId, 3);
    core::state().bootloaderVendorId = core::kGpsVendorId;
    core::state().bootloaderProductId = 3;
    EXPECT_FALSE(core::programFlash());
    EXPECT_TRUE(logged("Invalid device type\r\n"));
    EXPECT_TRUE(target->receivedCommands().empty());
    EXPECT_EQ(core::programmingErrorCounts().program, 0);
}

TEST_F(ProgrammingTest, FirstWriteShowsItsProgress) {
    auto target = plugTarget(core::kGpsVendorId, 13 + 60);
    connectDevice(13);
    core::state().gcbn = 60;
    core::state().reverseUpgrade = true;
    ASSERT_TRUE(core::programInBootloaderMode(13 + 60, core::kGpsVendorId));
    EXPECT_TRUE(hasDetail("Flashing Started"));
    EXPECT_TRUE(hasDetail("Flashing\n25% done"));
    EXPECT_TRUE(hasDetail("Flashing\n50% done"));
    EXPECT_TRUE(hasTitle("Osprey Max WAIT"));
    EXPECT_TRUE(hasDetail("Not Done Yet"));
    EXPECT_FALSE(logged("Set AD Flag true\r\n"));
}

}  // namespace
