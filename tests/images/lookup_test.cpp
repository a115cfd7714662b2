#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/images/firmwareImages.h"
#include "core/images/fontPacks.h"
#include "core/images/radioImages.h"
#include "core/images/standInImages.h"
#include "logCapture.h"

namespace {

using Lines = std::vector<std::string>;

TEST(FirmwareSelection, JapaneseOnlyWhenLvIs60) {
    for (int type = 4; type <= 16; ++type) {
        const auto& row = images::firmwareImageTable[size_t(type - 4)];
        EXPECT_EQ(images::findFirmwareImage(type, 60), &row[1]) << type;
        for (int lv : {0, -99, 59, 61, 120, -1})
            EXPECT_EQ(images::findFirmwareImage(type, lv), &row[0]) << type << " lv " << lv;
        EXPECT_NE(row[0].data, row[1].data);
    }
}

TEST(FirmwareSelection, Type4JapaneseLogsTheOspreyLine) {
    LogCapture log;
    auto length = images::unpackFirmwareImage(4, 60, 60, log.sink());
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 466'864u);
    EXPECT_EQ(log.lines, (Lines{"\n-- Flash AA osprey gps jp m:4 gcbn:60 lv:60 --\r\n",
                                "Decompressing binary\r\n"}));

    // gcbn is only printed: the selection follows lv.
    log.lines.clear();
    length = images::unpackFirmwareImage(4, 60, 0, log.sink());
    ASSERT_TRUE(length);
    EXPECT_EQ(log.lines.front(), "\n-- Flash AA osprey gps jp m:4 gcbn:0 lv:60 --\r\n");

    log.lines.clear();
    length = images::unpackFirmwareImage(4, 0, -99, log.sink());
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 467'264u);
    EXPECT_EQ(log.lines, Lines{"Decompressing binary\r\n"});

    log.lines.clear();
    length = images::unpackFirmwareImage(5, 60, 60, log.sink());
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 459'264u);
    EXPECT_EQ(log.lines, Lines{"Decompressing binary\r\n"});
}

TEST(FirmwareSelection, InvalidTypesGiveNoImage) {
    for (int type : {3, 17, 0, -1, 64, 76}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(images::findFirmwareImage(type, 0), nullptr);
        EXPECT_EQ(images::findFirmwareImage(type, 60), nullptr);
        std::memset(images::firmwareBuffer, 0xA5, 64);
        LogCapture log;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(images::unpackFirmwareImage(type, 60, 60, log.sink()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid device type\r\n");
        EXPECT_EQ(log.lines, Lines{"Invalid device type\r\n"});
        for (int i = 0; i < 64; ++i) ASSERT_EQ(images::firmwareBuffer[i], 0xA5);
    }
}

TEST(FirmwareSelection, UnsetLogSlotStillDecodes) {
    EXPECT_EQ(images::unpackFirmwareImage(11, 0, 0, {}), 570'480u);
}

TEST(RadioImages, RowsPerType) {
    for (int type = 4; type <= 16; ++type) {
        SCOPED_TRACE(type);
        const auto* row = images::findRadioImage(type);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->hasInitPacket(), type >= 11);
        if (row->hasInitPacket()) {
            EXPECT_EQ(row->initPacket.compressedLength, 137u);
            EXPECT_EQ(row->initPacket.decodedLength, 135u);
        }
    }
    EXPECT_EQ(images::findRadioImage(3), nullptr);
    EXPECT_EQ(images::findRadioImage(17), nullptr);
    EXPECT_EQ(images::findRadioImage(4)->image.compressedLength, 112'215u);
    EXPECT_EQ(images::findRadioImage(15)->image.decodedLength, 103'016u);
}

TEST(RadioImages, Type16UsesType14sFilesAnd11And12Differ) {
    const auto* r14 = images::findRadioImage(14);
    const auto* r16 = images::findRadioImage(16);
    EXPECT_EQ(r16->image.data, r14->image.data);
    EXPECT_EQ(r16->image.compressedLength, r14->image.compressedLength);
    EXPECT_EQ(r16->initPacket.data, r14->initPacket.data);

    const auto* r11 = images::findRadioImage(11);
    const auto* r12 = images::findRadioImage(12);
    ASSERT_EQ(r11->image.compressedLength, r12->image.compressedLength);
    ASSERT_EQ(r11->image.decodedLength, r12->image.decodedLength);
    EXPECT_NE(std::memcmp(r11->image.data, r12->image.data, r11->image.compressedLength), 0);
    EXPECT_NE(std::memcmp(r11->initPacket.data, r12->initPacket.data, 137), 0);
    // Every row but 16 has data of its own.
    for (int a = 4; a <= 15; ++a)
        for (int b = a + 1; b <= 15; ++b)
            EXPECT_NE(images::findRadioImage(a)->image.data, images::findRadioImage(b)->image.data);
}

TEST(RadioImages, UnpackLogsAndFillsBothBuffers) {
    const auto* row = images::findRadioImage(16);
    LogCapture log;
    EXPECT_EQ(images::unpackRadioImage(*row, log.sink()), 102'444u);
    EXPECT_EQ(images::unpackRadioInitPacket(*row, log.sink()), 135u);
    EXPECT_EQ(log.lines,
              (Lines{"Compressed nrf size = 92405\n\r", "decompressing nrf\r\n",
                     "Decoded nrf bytes = 102444\n\r", "Compressed nrf dat size = 137\n\r",
                     "decompressing nrf dat\r\n", "Decoded nrf dat bytes = 135\n\r"}));
    // The init packet went to its own buffer and left the image in place.
    std::vector<char> image(102'444), init(135);
    ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(row->image.data), image.data(),
                                  int(row->image.compressedLength), int(image.size())),
              102'444);
    ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(row->initPacket.data), init.data(),
                                  137, 135),
              135);
    EXPECT_EQ(std::memcmp(images::imageBuffer, image.data(), image.size()), 0);
    EXPECT_EQ(std::memcmp(images::initPacketBuffer, init.data(), init.size()), 0);

    log.lines.clear();
    EXPECT_FALSE(images::unpackRadioInitPacket(*images::findRadioImage(5), log.sink()));
    EXPECT_TRUE(log.lines.empty());
}

TEST(FontPacks, PacksPerType) {
    auto names = [](int type) {
        std::vector<std::string> out;
        for (const auto* pack : images::fontPacksForType(type)) out.push_back(pack->fileName);
        return out;
    };
    EXPECT_EQ(names(11), std::vector<std::string>{"Kanji_19x19.bin"});
    EXPECT_EQ(names(12), std::vector<std::string>{"Kanji_19x19.bin"});
    for (int type : {4, 5, 10, 13, 14, 15, 16})
        EXPECT_EQ(names(type), (std::vector<std::string>{"Kanji_11x12.bin", "Kanji_18x18.bin"}));
    EXPECT_EQ(images::findFontPack("Kanji_18x18.bin"), &images::fontPackTable[1]);
    EXPECT_EQ(images::findFontPack("Kanji_18x18"), nullptr);
}

TEST(FontPacks, EachDecodesToItsLength) {
    const uint32_t expected[] = {152'520, 343'170, 362'235};
    for (size_t i = 0; i < 3; ++i) {
        LogCapture log;
        EXPECT_EQ(images::unpackFontPack(images::fontPackTable[i], log.sink()), expected[i]);
        EXPECT_TRUE(log.lines.empty());
    }
}

// The embedded data is fixed, but a damaged or mismatched block must end the
// run with a log line, never hand a negative result on as a length.
class CorruptedBlocks : public testing::Test {
  protected:
    void SetUp() override {
        const auto& original = images::findFirmwareImage(6, 0);
        copy.assign(original->data, original->data + original->compressedLength);
        entry = *original;
        entry.data = copy.data();
    }
    std::vector<uint8_t> copy;
    images::CompressedImage entry;
    LogCapture log;
};

TEST_F(CorruptedBlocks, TruncatedBlockIsRefused) {
    entry.compressedLength -= 1000;
    EXPECT_LT(images::decompressImage(entry), 0);
    EXPECT_FALSE(images::decodeChecked(entry, images::imageBuffer, images::kImageBufferSize,
                                       "binary", log.sink()));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Decoding binary failed: LZ4 result -", 0), 0u) << log.lines[0];
}

TEST_F(CorruptedBlocks, OverwrittenBytesAreRefused) {
    // The first sequence now copies from 65535 bytes before the output.
    copy[0] = 0x0F;  // no literals, then the offset
    copy[1] = 0xFF;
    copy[2] = 0xFF;
    EXPECT_FALSE(images::decodeChecked(entry, images::imageBuffer, images::kImageBufferSize,
                                       "binary", log.sink()));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("failed: LZ4 result -"), std::string::npos);
}

TEST_F(CorruptedBlocks, WrongDecodedLengthIsRefused) {
    entry.decodedLength += 1;
    EXPECT_FALSE(images::decodeChecked(entry, images::imageBuffer, images::kImageBufferSize,
                                       "binary", log.sink()));
    EXPECT_EQ(log.lines,
              Lines{"Decoding binary failed: LZ4 result 440288, expected 440289 bytes\r\n"});
}

TEST_F(CorruptedBlocks, RadioAndFontPathsRefuseToo) {
    images::RadioImageEntry radio{entry, {}};
    radio.image.compressedLength -= 1;
    EXPECT_FALSE(images::unpackRadioImage(radio, log.sink()));
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_EQ(log.lines[1], "decompressing nrf\r\n");
    EXPECT_EQ(log.lines[2].rfind("Decoding nrf failed: LZ4 result -", 0), 0u);

    // A font pack may decode to at most 500,000 bytes: the largest main image
    // does not fit and is refused, not cut.
    log.lines.clear();
    const images::FontPack tooBig{"Kanji_19x19.bin", *images::findFirmwareImage(11, 0)};
    EXPECT_FALSE(images::unpackFontPack(tooBig, log.sink()));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Decoding Kanji_19x19.bin failed: LZ4 result -", 0), 0u);
}

// A byte changed where the decoder cannot see it (a literal of the first run,
// inside the vector table): the image still decodes to its length, but it is
// not the one the build recorded, and nothing of it is handed on.
TEST_F(CorruptedBlocks, AnImageSpoiledInsideItsLiteralsFailsItsSha256) {
    copy[100] ^= 0x01;
    ASSERT_EQ(images::decodeInto(entry, images::imageBuffer, images::kImageBufferSize), 440288);
    EXPECT_FALSE(images::decodeChecked(entry, images::imageBuffer, images::kImageBufferSize,
                                       "binary", log.sink()));
    EXPECT_EQ(log.lines, Lines{"Decoding binary failed: firmware_06_standard.lz4 is not the image "
                               "this program was built with (SHA-256 differs)\r\n"});
    copy[100] ^= 0x01;
    EXPECT_TRUE(images::decodeChecked(entry, images::imageBuffer, images::kImageBufferSize,
                                      "binary", log.sink()));
}

// A GPS on the real road never gets an image with the stand-in mark, main,
// radio or font alike; the bytes are whole, so only the mark refuses them.
TEST(StandInMark, MarkedImagesAreRefusedWhileStandInsAreRefused) {
    if (!images::embeddedImagesMarked()) GTEST_SKIP() << "this build carries unmarked images";
    EXPECT_TRUE(images::carriesStandIns());
    LogCapture log;
    images::setRefuseStandIns(true);
    EXPECT_FALSE(images::unpackFirmwareImage(11, 0, 0, log.sink()));
    EXPECT_FALSE(images::unpackRadioImage(*images::findRadioImage(14), log.sink()));
    EXPECT_FALSE(images::unpackFontPack(images::fontPackTable[0], log.sink()));
    images::setRefuseStandIns(false);
    EXPECT_NE(log.lines.back().find("Kanji_11x12.bin.lz4 is a test image and is not written to a "
                                    "real GPS"),
              std::string::npos)
        << log.lines.back();
    EXPECT_TRUE(images::unpackFirmwareImage(11, 0, 0, log.sink()));
}

}  // namespace
