#include <gtest/gtest.h>

#include <thread>

#include "sim/FlashModel.h"

namespace {

using sim::FlashModel;

TEST(FlashModel, ProgramsOnlyBitsThatAreStillSet) {
    FlashModel flash;
    EXPECT_TRUE(flash.isErased(0, FlashModel::kSize));

    EXPECT_EQ(flash.write(0x100, {0x0F, 0xF0}), sim::kFlash_Success);
    EXPECT_EQ(flash.write(0x100, {0x0F, 0xF0}), sim::kFlash_Success);  // same bytes again
    EXPECT_EQ(flash.write(0x100, {0x05, 0x00}), sim::kFlash_Success);  // clearing more bits
    EXPECT_EQ(flash.read(0x100, 2), (std::vector<uint8_t>{0x05, 0x00}));

    // One byte that needs a 0 turned back into 1 refuses the whole write.
    EXPECT_EQ(flash.write(0xFF, {0x00, 0x05, 0x01}), sim::kFlash_CommandFailure);
    EXPECT_EQ(flash.read(0xFF, 3), (std::vector<uint8_t>{0xFF, 0x05, 0x00}));
    EXPECT_EQ(flash.bytesWritten(), 6u);
}

TEST(FlashModel, RangesOutsideTheFlashAreRefused) {
    FlashModel flash;
    EXPECT_EQ(flash.write(FlashModel::kSize - 1, {0, 0}), sim::kFlash_RangeInvalid);
    EXPECT_EQ(flash.write(0xFFFFFFFF, {0}), sim::kFlash_RangeInvalid);  // no wrap-around
    EXPECT_EQ(flash.erase(0xFF000, 0x2000), sim::kFlash_RangeInvalid);
    EXPECT_EQ(flash.preload(FlashModel::kSize, {1}), sim::kFlash_RangeInvalid);
    EXPECT_TRUE(flash.read(FlashModel::kSize - 4, 5).empty());
    EXPECT_EQ(flash.read(FlashModel::kSize - 4, 4).size(), 4u);
    EXPECT_EQ(flash.write(FlashModel::kSize - 1, {0x12}), sim::kFlash_Success);
    EXPECT_TRUE(flash.isErased(0, FlashModel::kSize - 1));
}

TEST(FlashModel, ErasesWholeSectorsOnly) {
    FlashModel flash;
    flash.preload(0, std::vector<uint8_t>(FlashModel::kSize, 0x00));

    // Unaligned regions erase nothing at all.
    EXPECT_EQ(flash.erase(0xa001, 0x1000), sim::kFlash_AlignmentError);
    EXPECT_EQ(flash.erase(0xa000, 0xFFF), sim::kFlash_AlignmentError);
    EXPECT_EQ(flash.read(0xa000, 1), std::vector<uint8_t>{0x00});
    EXPECT_EQ(flash.erase(0xa000, 0), sim::kFlash_Success);
    EXPECT_EQ(flash.eraseCount(), 0);

    // The updater's region: 0xa000 up to the end of the first 512 KiB.
    EXPECT_EQ(flash.erase(0xa000, 0x76000), sim::kFlash_Success);
    EXPECT_TRUE(flash.isErased(0xa000, 0x76000));
    EXPECT_EQ(flash.read(0x9FFF, 1), std::vector<uint8_t>{0x00});
    EXPECT_EQ(flash.read(0x80000, 1), std::vector<uint8_t>{0x00});
    EXPECT_EQ(flash.write(0xa000, {0x12, 0x34}), sim::kFlash_Success);
    EXPECT_EQ(flash.eraseCount(), 1);

    flash.eraseAll();
    EXPECT_TRUE(flash.isErased(0, FlashModel::kSize));
}

TEST(FlashModel, SectorSizeSetsTheEraseAlignment) {
    FlashModel flash;
    for (uint32_t sector : {0x800u, 0x1000u, 0x2000u}) {
        SCOPED_TRACE(sector);
        ASSERT_TRUE(flash.setSectorSize(sector));
        EXPECT_EQ(flash.sectorSize(), sector);
        flash.preload(0, std::vector<uint8_t>(FlashModel::kSize, 0x00));
        EXPECT_EQ(flash.erase(0x80000, sector / 2), sim::kFlash_AlignmentError);
        EXPECT_EQ(flash.erase(0x80000 + sector / 2, sector), sim::kFlash_AlignmentError);
        EXPECT_EQ(flash.read(0x80000, 1), std::vector<uint8_t>{0x00});
        EXPECT_EQ(flash.erase(0x80000, sector), sim::kFlash_Success);
        EXPECT_TRUE(flash.isErased(0x80000, sector));
        EXPECT_EQ(flash.read(0x80000 + sector, 1), std::vector<uint8_t>{0x00});
    }
    // 8 KiB sectors take the region the updater always erases, not a 4 KiB
    // multiple that is no 8 KiB one.
    EXPECT_EQ(flash.erase(0xa000, 0x76000), sim::kFlash_Success);
    EXPECT_EQ(flash.erase(0xa000, 0x8B000), sim::kFlash_AlignmentError);
    for (uint32_t bad : {0u, 0x80u, 0x1800u, 0x200000u}) EXPECT_FALSE(flash.setSectorSize(bad));
    EXPECT_EQ(flash.sectorSize(), 0x2000u);
}

TEST(FlashModel, ConcurrentWritersAndReadersSeeWholeWrites) {
    FlashModel flash;
    std::thread writer([&] {
        for (uint32_t a = 0; a < 0x10000; a += 32) {
            ASSERT_EQ(flash.write(a, std::vector<uint8_t>(32, 0x00)), sim::kFlash_Success);
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto block = flash.read(0x8000, 32);
        // Either untouched or fully written: a write is never seen half done.
        EXPECT_TRUE(block == std::vector<uint8_t>(32, 0xFF) ||
                    block == std::vector<uint8_t>(32, 0));
    }
    writer.join();
    EXPECT_EQ(flash.bytesWritten(), 0x10000u);
}

}  // namespace
