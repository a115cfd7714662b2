// CRC-32 (the IEEE 802.3 polynomial, reflected, as zip and PNG use it) of the
// drive files a trace names, and content made up to have a given one: a
// replayed drive holds files of the recorded names, sizes and CRCs without
// the trace ever holding what was in them. Both forward to src/crc, the
// program's one CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace trace {

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

// Content of `size` bytes whose CRC-32 is `crc`: `size` - 4 zero bytes
// followed by the four bytes returned here. Content of fewer than four bytes
// is searched for and returned whole; none when no content of that size has
// that CRC.
std::optional<std::vector<uint8_t>> contentTailWithCrc(uint64_t size, uint32_t crc);

}  // namespace trace
