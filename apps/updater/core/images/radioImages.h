// The Nordic radio images and init packets, one row per device type. The
// choice depends on the type alone, never on the language variant.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/images/imageCatalogue.h"
#include "core/images/imageDecode.h"

namespace images {

struct RadioImageEntry {
    CompressedImage image;
    CompressedImage initPacket;  // types 11 to 16 only; data is null otherwise
    bool hasInitPacket() const { return initPacket.data != nullptr; }
};

// [deviceType - 4]; type 16's row holds type 14's image and init packet.
using RadioImageTable = std::array<RadioImageEntry, kDeviceTypeCount>;
extern const RadioImageTable radioImageTable;

// Null for a type outside 4..16; the caller logs "Invalid device type\r\n"
// with its own status report.
const RadioImageEntry* findRadioImage(int deviceType);

// The image decoded into imageBuffer, with the log lines of the radio update:
// "Compressed nrf size = %d\n\r", "decompressing nrf\r\n", then
// "Decoded nrf bytes = %d\n\r". Nothing (after a "Decoding nrf failed" line)
// when the block does not decode to exactly its catalogue length.
std::optional<uint32_t> unpackRadioImage(const RadioImageEntry& entry, const LogLine& logLine);

// The init packet decoded into initPacketBuffer, likewise with the "nrf dat"
// lines. Nothing when the row has no init packet or it does not decode.
std::optional<uint32_t> unpackRadioInitPacket(const RadioImageEntry& entry, const LogLine& logLine);

}  // namespace images
