// What the simulated GPS knows of the files it is given: main firmware images
// (told apart by their version block), the radio image's check value, and the
// sizes of the font packs it loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/images/ImageVersionBlock.h"

namespace sim {

// The length of the image a simulated GPS holds from the factory: well inside
// the region the updater erases, so the first update never meets stale bytes.
inline constexpr size_t kFactoryImageLength = 256 * 1024;

// A complete main firmware image of `length` bytes: the vector table, the
// version block and deterministic filler that differs per version, so that
// two versions of an image never agree byte for byte. Empty when the length
// or a field cannot be represented.
std::vector<uint8_t> makeFirmwareImage(const images::ImageVersion& version,
                                       size_t length = kFactoryImageLength);

// The radio image's check value the updater sends with UPDATE_NORDIC: CRC-16
// with polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR.
uint16_t radioImageCrc16(const uint8_t* data, size_t length);

// The decoded size of a font pack the updater carries, by the file name it
// has on the drive ("Kanji_11x12.bin"); none for any other name.
std::optional<uint32_t> fontPackSize(std::string_view fileName);

}  // namespace sim
