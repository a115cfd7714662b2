#include "crc/crc32.h"

#include <array>

namespace crc {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;  // reflected

// One bit of the reflected register: also multiplies by x modulo the polynomial.
constexpr uint32_t shiftBit(uint32_t c) {
    return (c & 1) ? kPolynomial ^ (c >> 1) : c >> 1;
}

constexpr std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = shiftBit(c);
        table[i] = c;
    }
    return table;
}();

// The table's top bytes are all different: the entry a register's top byte came from.
constexpr std::array<uint8_t, 256> kTopByteIndex = [] {
    std::array<uint8_t, 256> index{};
    for (uint32_t i = 0; i < 256; ++i) index[kTable[i] >> 24] = static_cast<uint8_t>(i);
    return index;
}();

uint32_t update(uint32_t reg, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) reg = kTable[(reg ^ data[i]) & 0xFF] ^ (reg >> 8);
    return reg;
}

// Products of polynomials modulo the CRC's, bits reflected as in the register:
// running the register over n zero bytes multiplies it by x^(8n), which is
// had in log(n) steps, so a made-up file of any size costs no time.
constexpr uint32_t multiplyModP(uint32_t a, uint32_t b) {
    uint32_t m = 1u << 31;
    uint32_t product = 0;
    for (;;) {
        if (a & m) {
            product ^= b;
            if ((a & (m - 1)) == 0) break;
        }
        m >>= 1;
        b = shiftBit(b);
    }
    return product;
}

// x^(2^k) modulo the polynomial, k = 0..67: enough for any 64-bit count of bytes.
constexpr std::array<uint32_t, 68> kPowers = [] {
    std::array<uint32_t, 68> powers{};
    uint32_t p = 1u << 30;  // x^1
    for (auto& power : powers) {
        power = p;
        p = multiplyModP(p, p);
    }
    return powers;
}();

uint32_t overZeros(uint32_t reg, uint64_t count) {
    uint32_t factor = 1u << 31;  // 1
    for (unsigned k = 3; count; count >>= 1, ++k) {
        if (count & 1) factor = multiplyModP(kPowers[k], factor);
    }
    return multiplyModP(factor, reg);
}

}  // namespace

void crc32Init(Crc32& ctx) {
    ctx.value = 0xFFFFFFFFu;
}

void crc32Update(Crc32& ctx, const uint8_t* data, size_t length) {
    ctx.value = update(ctx.value, data, length);
}

uint32_t crc32Finalize(const Crc32& ctx) {
    return ctx.value ^ 0xFFFFFFFFu;
}

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc) {
    return update(crc ^ 0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}

std::optional<std::vector<uint8_t>> crc32ContentTail(uint64_t size, uint32_t crc) {
    if (size < 4) {
        std::vector<uint8_t> content(static_cast<size_t>(size), 0);
        const uint32_t count = 1u << (8 * size);
        for (uint32_t value = 0; value < count; ++value) {
            for (size_t i = 0; i < content.size(); ++i) {
                content[i] = static_cast<uint8_t>(value >> (8 * i));
            }
            if (crc32(content.data(), content.size()) == crc) return content;
        }
        return std::nullopt;
    }
    // Run the register back from the wanted end over four bytes to find the
    // table entries those bytes must pick, then choose each byte forward so
    // that it picks its entry.
    std::array<uint8_t, 4> picks{};
    uint32_t reg = crc ^ 0xFFFFFFFFu;
    for (int k = 3; k >= 0; --k) {
        picks[static_cast<size_t>(k)] = kTopByteIndex[reg >> 24];
        reg = (reg ^ kTable[picks[static_cast<size_t>(k)]]) << 8;
    }
    reg = overZeros(0xFFFFFFFFu, size - 4);
    std::vector<uint8_t> tail(4);
    for (size_t k = 0; k < 4; ++k) {
        tail[k] = static_cast<uint8_t>((reg ^ picks[k]) & 0xFF);
        reg = kTable[picks[k]] ^ (reg >> 8);
    }
    return tail;
}

}  // namespace crc
