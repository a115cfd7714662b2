// The CRC-16 of the GPS's framings (polynomial 0x1021, from 0, no
// reflection): the serial bootloader's frames and the command link's.
//
// The simulated GPS keeps its own rather than the host's src/crc: it is the
// host's independent peer, so a fault in the host's CRC shows up as frames
// the GPS refuses instead of being agreed with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// `crc` carries on from the CRC of the bytes before.
uint16_t crc16(const uint8_t* data, size_t length, uint16_t crc = 0);

}  // namespace sim
