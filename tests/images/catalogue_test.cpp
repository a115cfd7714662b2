#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <vector>

#include "core/images/ImageVersionBlock.h"
#include "core/images/embeddedImages.h"
#include "core/images/firmwareImages.h"
#include "core/images/imageCatalogue.h"

namespace {

using images::imageFiles;
using images::ImageKind;

uint32_t le32(const uint8_t* p) {
    return images::detail::readLe32(p);
}

TEST(ImageCatalogue, EmbeddedBlobHoldsEveryBlockAndNothingMore) {
    EXPECT_EQ(images::embeddedLength(), images::kEmbeddedTotal);
    EXPECT_EQ(images::kEmbeddedTotal, 11'495'657u);
    EXPECT_EQ(images::kImageFileCount, 26u + 12u + 5u + 3u);
}

TEST(ImageCatalogue, EveryEntryDecodesToExactlyItsLength) {
    for (size_t i = 0; i < images::kImageFileCount; ++i) {
        const auto& f = imageFiles[i];
        SCOPED_TRACE(f.fileName);
        const auto image = images::embeddedImage(i);
        EXPECT_EQ(image.compressedLength, f.compressedLength);
        std::vector<char> out(f.decodedLength + 64);
        const char* src = reinterpret_cast<const char*>(image.data);
        // The whole block, no more, no less, gives exactly the length...
        EXPECT_EQ(LZ4_decompress_safe(src, out.data(), int(f.compressedLength), int(out.size())),
                  int(f.decodedLength));
        // ...a byte less of room is refused, so it is not longer...
        EXPECT_LT(
            LZ4_decompress_safe(src, out.data(), int(f.compressedLength), int(f.decodedLength) - 1),
            0);
        // ...and the block does not end early.
        EXPECT_LT(
            LZ4_decompress_safe(src, out.data(), int(f.compressedLength) - 1, int(out.size())), 0);
    }
}

TEST(ImageCatalogue, SizesOfTheEdgeEntries) {
    const auto* jp4 = images::findFirmwareImage(4, 60);
    const auto* std4 = images::findFirmwareImage(4, 0);
    ASSERT_TRUE(jp4 && std4);
    EXPECT_EQ(jp4->compressedLength, 375'149u);
    EXPECT_EQ(jp4->decodedLength, 466'864u);
    EXPECT_EQ(std4->compressedLength, 372'744u);
    EXPECT_EQ(std4->decodedLength, 467'264u);

    uint32_t largest = 0, smallest = UINT32_MAX;
    int longerThanEraseRegion = 0;
    for (const auto& f : imageFiles) {
        if (f.kind != ImageKind::firmware) continue;
        largest = std::max(largest, f.decodedLength);
        smallest = std::min(smallest, f.decodedLength);
        if (f.decodedLength > 0x76000) ++longerThanEraseRegion;
    }
    EXPECT_EQ(largest, images::findFirmwareImage(11, 0)->decodedLength);
    EXPECT_EQ(largest, 570'480u);
    EXPECT_EQ(smallest, images::findFirmwareImage(10, 0)->decodedLength);
    EXPECT_EQ(smallest, 431'952u);
    EXPECT_EQ(longerThanEraseRegion, 11);
}

TEST(ImageCatalogue, MainImagesStartWithTheVectorsAndCarryTheirVersion) {
    for (int type = 4; type <= 16; ++type) {
        for (int lv : {0, 60}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " lv " << lv);
            const auto* entry = images::findFirmwareImage(type, lv);
            ASSERT_NE(entry, nullptr);
            ASSERT_EQ(images::decompressImage(*entry), int(entry->decodedLength));
            const uint8_t* image = images::imageBuffer;
            EXPECT_EQ(le32(image), 0x20010000u);
            EXPECT_EQ(le32(image + 4), 0x0000A4B5u);
#ifdef QUORTA_REAL_IMAGES
            (void)image;
#else
            images::ImageVersion version;
            size_t length = 0;
            ASSERT_EQ(images::checkImage(image, entry->decodedLength, &version, &length),
                      images::ImageCheck::ok);
            EXPECT_EQ(length, entry->decodedLength);
            const auto carried = images::carriedFirmwareVersion(type);
            EXPECT_EQ(version, (images::ImageVersion{type, lv, carried.major, carried.minor}));
#endif
        }
    }
}

TEST(ImageCatalogue, CarriedVersionsPerType) {
    for (int type = 4; type <= 10; ++type)
        EXPECT_EQ(images::carriedFirmwareVersion(type), (images::FirmwareVersion{7, 63}));
    for (int type = 11; type <= 14; ++type)
        EXPECT_EQ(images::carriedFirmwareVersion(type), (images::FirmwareVersion{14, 51}));
    EXPECT_EQ(images::carriedFirmwareVersion(15), (images::FirmwareVersion{13, 12}));
    EXPECT_EQ(images::carriedFirmwareVersion(16), (images::FirmwareVersion{14, 31}));
    for (int type : {0, 1, 2, 3, 17})
        EXPECT_EQ(images::carriedFirmwareVersion(type), (images::FirmwareVersion{0, 0}));
}

#ifndef QUORTA_REAL_IMAGES
// Stand-ins must stress the decoder and the write path like the maker's
// images: a compressor finds about as much in them as the tables say, and
// the two variants of a type are different images.
TEST(ImageCatalogue, StandInsCompressLikeFirmware) {
    std::vector<char> decoded(images::kImageBufferSize);
    std::vector<char> recompressed(LZ4_compressBound(images::kImageBufferSize));
    for (size_t i = 0; i < images::kImageFileCount; ++i) {
        const auto& f = imageFiles[i];
        if (f.kind == ImageKind::radioInit) continue;
        SCOPED_TRACE(f.fileName);
        const auto image = images::embeddedImage(i);
        const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(image.data), decoded.data(),
                                          int(image.compressedLength), int(decoded.size()));
        ASSERT_EQ(n, int(f.decodedLength));
        const int c =
            LZ4_compress_default(decoded.data(), recompressed.data(), n, int(recompressed.size()));
        const double tableRatio = double(f.compressedLength) / f.decodedLength;
        EXPECT_NEAR(double(c) / n, tableRatio, 0.06);
    }
    std::vector<uint8_t> standard(
        images::imageBuffer,
        images::imageBuffer + images::decompressImage(*images::findFirmwareImage(7, 0)));
    images::decompressImage(*images::findFirmwareImage(7, 60));
    EXPECT_NE(std::memcmp(standard.data() + 0x1000, images::imageBuffer + 0x1000, 0x1000), 0);
}
#endif

}  // namespace
