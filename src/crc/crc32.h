// CRC-32 (the IEEE 802.3 polynomial, reflected, initial value and final XOR
// all ones, as zip and PNG compute it): the checksum of an image's version
// block and of the drive files a trace names. In three steps like the CRC-16,
// for data held in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace crc {

struct Crc32 {
    uint32_t value = 0xFFFFFFFFu;  // the register, before the final XOR
};

void crc32Init(Crc32& ctx);
void crc32Update(Crc32& ctx, const uint8_t* data, size_t length);
uint32_t crc32Finalize(const Crc32& ctx);

// One-shot convenience; `crc` carries on from the CRC of the bytes before.
uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

// Content of `size` bytes whose CRC-32 is `crc`: `size` - 4 zero bytes
// followed by the four bytes returned here. Content of fewer than four bytes
// is searched for and returned whole; none when no content of that size has
// that CRC. Lets a stand-in file carry a recorded CRC without its content.
std::optional<std::vector<uint8_t>> crc32ContentTail(uint64_t size, uint32_t crc);

}  // namespace crc
