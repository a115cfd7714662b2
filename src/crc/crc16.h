// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final
// XOR) in three steps, as the serial framing computes it over a header and a
// payload held in separate buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc {

struct Crc16 {
    uint16_t value = 0;
};

void crc16Init(Crc16& ctx);
void crc16Update(Crc16& ctx, const uint8_t* data, size_t length);
uint16_t crc16Finalize(const Crc16& ctx);

// One-shot convenience over a single buffer.
uint16_t crc16(const uint8_t* data, size_t length);

}  // namespace crc
