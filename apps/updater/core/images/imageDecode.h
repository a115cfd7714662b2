// What the image lookups share: an embedded raw LZ4 block, the static buffers
// images are decoded into, and a decode that refuses anything but the exact
// decoded length.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/images/imageCatalogue.h"

namespace images {

// One raw LZ4 block carried in the program.
struct CompressedImage {
    const uint8_t* data = nullptr;  // null: no image
    uint32_t compressedLength = 0;
    uint32_t decodedLength = 0;  // what it must decode to; anything else is refused
    const char* fileName = "";   // its name in the catalogue
    ImageKind kind = ImageKind::firmware;
    // The SHA-256 of the decoded image as the build recorded it (32 bytes);
    // a decode giving other bytes is refused. Null: not recorded.
    const uint8_t* sha256 = nullptr;
};

// Receives whole log lines; wired to ReportCallbacks::logLine. An empty
// function drops them, like an unset slot.
using LogLine = std::function<void(const std::string&)>;

inline constexpr int kImageBufferSize = 3'000'000;

// Decoded main firmware, radio image or font pack; valid until the next
// decode. Only one workflow decodes at a time.
extern uint8_t imageBuffer[kImageBufferSize];
// Decoded radio init packet.
extern uint8_t initPacketBuffer[kImageBufferSize];

// LZ4_decompress_safe of the whole block into `buffer`, writing at most
// `maxLength` bytes: the library's result (bytes written, or negative).
int decodeInto(const CompressedImage& image, uint8_t* buffer, int maxLength);

// The same, judged: the decoded length when it is exactly the catalogue's and
// the bytes are the ones the build recorded (SHA-256), and, while stand-ins
// are refused (setRefuseStandIns), they carry no stand-in mark; otherwise
// nothing, after logging "Decoding <what> failed: ..." so the run can end as
// a failure instead of writing a spoiled or stand-in image.
std::optional<uint32_t> decodeChecked(const CompressedImage& image, uint8_t* buffer, int maxLength,
                                      const char* what, const LogLine& logLine);

// printf into a std::string, for the log lines.
std::string formatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends a line to `logLine` when it is set.
void logTo(const LogLine& logLine, const std::string& text);

}  // namespace images
