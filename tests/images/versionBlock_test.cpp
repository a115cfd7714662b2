#include <gtest/gtest.h>

#include <vector>

#include "core/images/ImageVersionBlock.h"
#include "core/images/firmwareImages.h"

namespace {

using images::ImageCheck;

std::vector<uint8_t> builtImage(size_t length, images::ImageVersion version = {13, 60, 14, 51}) {
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < length; ++i) image[i] = uint8_t(i * 37 + (i >> 8));
    images::detail::writeLe32(image.data(), images::kInitialStackPointer);
    images::detail::writeLe32(image.data() + 4, images::kResetHandler);
    EXPECT_TRUE(images::writeVersionBlock(image.data(), image.size(), version));
    return image;
}

TEST(VersionBlock, ChecksumIsTheStandardCrc32) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(images::detail::crc32Update(0xFFFFFFFFu, text, sizeof text) ^ 0xFFFFFFFFu,
              0xCBF43926u);
}

TEST(VersionBlock, BuiltImageReadsBack) {
    auto image = builtImage(8192);
    images::ImageVersion version;
    size_t length = 0;
    EXPECT_EQ(images::checkImage(image.data(), image.size(), &version, &length), ImageCheck::ok);
    EXPECT_EQ(version, (images::ImageVersion{13, 60, 14, 51}));
    EXPECT_EQ(length, 8192u);
    EXPECT_EQ(images::readVersionBlock(image.data(), image.size()), version);
}

TEST(VersionBlock, AnyChangedByteIsCaught) {
    for (size_t at : {size_t(8), size_t(0x3FF), images::kVersionBlockOffset + 6,
                      images::kVersionBlockCrcOffset + 1, size_t(5000), size_t(8191)}) {
        auto image = builtImage(8192);
        image[at] ^= 0x01;
        EXPECT_EQ(images::checkImage(image.data(), image.size()), ImageCheck::checksumMismatch)
            << at;
    }
}

TEST(VersionBlock, FlashAfterTheImageIsIgnoredButMissingBytesAreNot) {
    // The image followed by erased flash, as the device sees it.
    auto flash = builtImage(8192);
    flash.resize(0x76000, 0xFF);
    size_t length = 0;
    EXPECT_EQ(images::checkImage(flash.data(), flash.size(), nullptr, &length), ImageCheck::ok);
    EXPECT_EQ(length, 8192u);

    // A write that stopped early: the rest is still erased.
    auto cut = builtImage(8192);
    std::fill(cut.begin() + 6000, cut.end(), 0xFF);
    EXPECT_EQ(images::checkImage(cut.data(), cut.size()), ImageCheck::checksumMismatch);
    EXPECT_EQ(images::checkImage(cut.data(), 6000), ImageCheck::incomplete);
}

TEST(VersionBlock, ErasedOrForeignFlashIsNotAnImage) {
    std::vector<uint8_t> erased(0x1000, 0xFF);
    EXPECT_EQ(images::checkImage(erased.data(), erased.size()), ImageCheck::badVectors);
    EXPECT_FALSE(images::readVersionBlock(erased.data(), erased.size()));

    auto noBlock = builtImage(4096);
    std::fill(noBlock.begin() + images::kVersionBlockOffset,
              noBlock.begin() + images::kVersionBlockOffset + 4, 0xFF);
    EXPECT_EQ(images::checkImage(noBlock.data(), noBlock.size()), ImageCheck::noVersionBlock);

    auto shortLength = builtImage(4096);
    images::detail::writeLe32(shortLength.data() + images::kVersionBlockOffset + 8, 16);
    EXPECT_EQ(images::checkImage(shortLength.data(), shortLength.size()),
              ImageCheck::noVersionBlock);

    EXPECT_EQ(images::checkImage(noBlock.data(), images::kVersionBlockOffset + 31),
              ImageCheck::tooShort);
}

TEST(VersionBlock, WriteRefusesWhatCannotBeStored) {
    std::vector<uint8_t> image(4096);
    EXPECT_FALSE(
        images::writeVersionBlock(image.data(), images::kVersionBlockOffset + 31, {4, 0, 7, 63}));
    EXPECT_FALSE(images::writeVersionBlock(image.data(), image.size(), {4, 0, 256, 63}));
    EXPECT_FALSE(images::writeVersionBlock(image.data(), image.size(), {-1, 0, 7, 63}));
}

#ifndef QUORTA_REAL_IMAGES
// Eleven images are longer than the 0x76000-byte erase region: a flash that
// kept only that much of one holds an incomplete image, not a bootable one.
TEST(VersionBlock, CarriedImageCutAtTheEraseRegionIsIncomplete) {
    const auto* entry = images::findFirmwareImage(11, 0);
    ASSERT_EQ(images::decompressImage(*entry), 570'480);
    EXPECT_EQ(images::checkImage(images::imageBuffer, 570'480), ImageCheck::ok);
    EXPECT_EQ(images::checkImage(images::imageBuffer, 0x76000), ImageCheck::incomplete);
}
#endif

}  // namespace
