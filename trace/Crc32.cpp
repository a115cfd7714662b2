#include "Crc32.h"

#include "crc/crc32.h"

// The trace's names for the one CRC-32 in src/crc.
namespace trace {

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc) {
    return crc::crc32(data, length, crc);
}

std::optional<std::vector<uint8_t>> contentTailWithCrc(uint64_t size, uint32_t crc) {
    return crc::crc32ContentTail(size, crc);
}

}  // namespace trace
