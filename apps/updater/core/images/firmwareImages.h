// The main firmware catalogue: one standard and one Japanese image for each
// programmable device type, and how a programming run picks and decodes one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/images/imageCatalogue.h"
#include "core/images/imageDecode.h"

namespace images {

// [deviceType - 4][0 standard, 1 Japanese]
using FirmwareImageTable = std::array<std::array<CompressedImage, 2>, kDeviceTypeCount>;
extern const FirmwareImageTable firmwareImageTable;

// The Japanese image when `lv` is 60, the standard one for any other `lv`;
// null for a type outside 4..16.
const CompressedImage* findFirmwareImage(int deviceType, int lv);

// Decodes an entry into imageBuffer (at most 3,000,000 bytes) and returns the
// library's result: the bytes written, or negative when the block is refused.
int decompressImage(const CompressedImage& entry);

// The decoded main firmware of a programming run. Not the shared image
// buffer: a run that is still retrying after its device went away must not
// read a radio image or a font pack that the wireless worker decodes
// meanwhile, nor overwrite one on its way to the GPS drive.
extern uint8_t firmwareBuffer[kImageBufferSize];

// Selection and decoding as a programming run does it, with its log lines:
// the image for `deviceType` and `lv` decoded into firmwareBuffer, its length
// on success. Nothing on an invalid type ("Invalid device type\r\n", also on
// standard output) or when the block does not decode to exactly its catalogue
// length; the run then ends as a failure and writes nothing. `gcbn` appears
// only in the log line of the Japanese type-4 image.
std::optional<uint32_t> unpackFirmwareImage(int deviceType, int lv, int gcbn,
                                            const LogLine& logLine);

}  // namespace images
