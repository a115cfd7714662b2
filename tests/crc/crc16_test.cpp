#include <gtest/gtest.h>

#include <cstring>

#include "crc/crc16.h"

namespace {

uint16_t ofText(const char* s) { return crc::crc16(reinterpret_cast<const uint8_t*>(s), std::strlen(s)); }

TEST(Crc16, KnownCheckValues) {
    EXPECT_EQ(ofText("123456789"), 0x31C3);
    EXPECT_EQ(ofText("abc"), 0x9DD6);
    EXPECT_EQ(ofText(""), 0x0000);
}

TEST(Crc16, SplitUpdatesEqualOneShot) {
    // The serial frame's CRC covers the header and then the payload, which sit
    // in different buffers: folding them in pieces must give the same value.
    const uint8_t frame[] = {0x5A, 0xA4, 0x04, 0x00, 0x0B, 0x00, 0x00, 0x00};
    crc::Crc16 ctx;
    crc::crc16Init(ctx);
    crc::crc16Update(ctx, frame, 4);
    crc::crc16Update(ctx, frame + 4, 4);
    EXPECT_EQ(crc::crc16Finalize(ctx), 0x466F);
    EXPECT_EQ(crc::crc16(frame, sizeof frame), 0x466F);
}

}  // namespace
