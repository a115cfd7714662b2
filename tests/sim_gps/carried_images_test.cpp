// The images the updater carries, as the simulated GPS takes them: every
// main image is whole and names its type, variant and version, and the
// longest of them goes through the flash bootloader and boots.
#include <cstring>

#include "DeviceTestSupport.h"
#include "SimGpsConfigs.h"
#include "core/images/firmwareImages.h"

namespace device_test {
namespace {

std::vector<uint8_t> decoded(int type, int variant) {
    const images::CompressedImage* entry = images::findFirmwareImage(type, variant);
    if (!entry) return {};
    std::vector<uint8_t> bytes(entry->decodedLength);
    const int n = images::decodeInto(*entry, bytes.data(), static_cast<int>(bytes.size()));
    if (n != static_cast<int>(bytes.size())) return {};
    return bytes;
}

TEST(CarriedImages, EveryMainImageIsWholeAndNamesItself) {
    for (int type = 4; type <= 16; ++type) {
        for (int variant : {0, 60}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " variant " << variant);
            const std::vector<uint8_t> image = decoded(type, variant);
            ASSERT_FALSE(image.empty());
            images::ImageVersion version;
            size_t length = 0;
            ASSERT_EQ(images::checkImage(image.data(), image.size(), &version, &length),
                      images::ImageCheck::ok);
            EXPECT_EQ(length, image.size());
            const images::FirmwareVersion carried = images::carriedFirmwareVersion(type);
            EXPECT_EQ(version, (images::ImageVersion{type, variant, carried.major, carried.minor}));
        }
    }
}

class CarriedImageRoad : public DeviceTest {};

TEST_F(CarriedImageRoad, TheLongestImageBootsFromTheFlashBootloader) {
    sim::SimulatedGps& gps = runningGps(testing_support::gpsConfig(13, true, 12, 40));
    const std::vector<uint8_t> image = decoded(13, 60);
    ASSERT_EQ(image.size(), 566752u);  // runs past the usual erase region
    {
        LinkHost link;
        link.send(JUMP_TO_BL);
    }
    ASSERT_TRUE(gps.waitForMode(sim::GpsMode::FlashBootloader, kPatience));
    {
        BootloaderHost bl(kGpsVid, 13 + 60);
        ASSERT_TRUE(bl.isOpen());
        const uint32_t erase = (static_cast<uint32_t>(image.size()) + 0xFFF) & ~0xFFFu;
        ASSERT_EQ(bl.erase(0xa000, erase), 0);
        ASSERT_EQ(bl.write(0xa000, image), 0);
        ASSERT_EQ(bl.reset(), 0);
    }
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    ASSERT_EQ(gps.mode(), sim::GpsMode::Application);
    EXPECT_TRUE(sawActivity(gps, "booted 14.51 Japanese"));
    EXPECT_EQ(gps.config().versionMajor, 14);
    EXPECT_EQ(gps.config().versionMinor, 51);
}

}  // namespace
}  // namespace device_test
