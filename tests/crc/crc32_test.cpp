#include "crc/crc32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const uint8_t* bytes(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}

TEST(Crc32, KnownCheckValuesInOnePieceOrMany) {
    EXPECT_EQ(crc::crc32(bytes("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(crc::crc32(bytes(""), 0), 0u);
    // Carried on from the bytes before, and in three steps: the same value.
    EXPECT_EQ(crc::crc32(bytes("56789"), 5, crc::crc32(bytes("1234"), 4)), 0xCBF43926u);
    crc::Crc32 ctx;
    crc::crc32Init(ctx);
    crc::crc32Update(ctx, bytes("123"), 3);
    crc::crc32Update(ctx, bytes("456789"), 6);
    EXPECT_EQ(crc::crc32Finalize(ctx), 0xCBF43926u);
}

}  // namespace
