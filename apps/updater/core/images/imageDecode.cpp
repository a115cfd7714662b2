#include "core/images/imageDecode.h"

#include <lz4.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace images {

uint8_t imageBuffer[kImageBufferSize];
uint8_t initPacketBuffer[kImageBufferSize];

int decodeInto(const CompressedImage& image, uint8_t* buffer, int maxLength) {
    if (!image.data || image.compressedLength > uint32_t(INT32_MAX)) return -1;
    return LZ4_decompress_safe(reinterpret_cast<const char*>(image.data),
                               reinterpret_cast<char*>(buffer), int(image.compressedLength),
                               maxLength);
}

std::optional<uint32_t> decodeChecked(const CompressedImage& image, uint8_t* buffer, int maxLength,
                                      const char* what, const LogLine& logLine) {
    const int result = decodeInto(image, buffer, maxLength);
    if (result < 0 || uint32_t(result) != image.decodedLength) {
        logTo(logLine, formatLine("Decoding %s failed: LZ4 result %d, expected %u bytes\r\n", what,
                                  result, image.decodedLength));
        return std::nullopt;
    }
    return uint32_t(result);
}

std::string formatLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (n > 0) {
        std::vector<char> buffer(size_t(n) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), size_t(n));
    }
    va_end(again);
    return text;
}

void logTo(const LogLine& logLine, const std::string& text) {
    if (logLine) logLine(text);
}

}  // namespace images
