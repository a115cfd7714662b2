#include "crc/crc16.h"

#include <array>

namespace crc {
namespace {

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021) : static_cast<uint16_t>(c << 1);
        }
        table[i] = c;
    }
    return table;
}

constexpr auto kTable = makeTable();

}  // namespace

void crc16Init(Crc16& ctx) { ctx.value = 0; }

void crc16Update(Crc16& ctx, const uint8_t* data, size_t length) {
    uint16_t c = ctx.value;
    for (size_t i = 0; i < length; ++i) {
        c = static_cast<uint16_t>((c << 8) ^ kTable[((c >> 8) ^ data[i]) & 0xFF]);
    }
    ctx.value = c;
}

uint16_t crc16Finalize(const Crc16& ctx) { return ctx.value; }

uint16_t crc16(const uint8_t* data, size_t length) {
    Crc16 ctx;
    crc16Init(ctx);
    crc16Update(ctx, data, length);
    return crc16Finalize(ctx);
}

}  // namespace crc
