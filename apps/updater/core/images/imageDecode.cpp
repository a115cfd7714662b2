#include "core/images/imageDecode.h"

#include <lz4.h>
#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/images/standInImages.h"
#include "core/images/standInMark.h"

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
    if (image.sha256 && !sha256Matches(buffer, uint32_t(result), image.sha256)) {
        logTo(logLine, formatLine("Decoding %s failed: %s is not the image this program was "
                                  "built with (SHA-256 differs)\r\n",
                                  what, image.fileName));
        return std::nullopt;
    }
    if (standInsRefused() && hasStandInMark(image.kind, buffer, uint32_t(result))) {
        logTo(logLine, formatLine("Decoding %s failed: %s is a test image and is not written to "
                                  "a real GPS\r\n",
                                  what, image.fileName));
        return std::nullopt;
    }
    return uint32_t(result);
}

bool sha256Matches(const uint8_t* data, size_t length, const uint8_t* expected) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, length, digest, &n, EVP_sha256(), nullptr) != 1 || n != 32) return false;
    return std::memcmp(digest, expected, 32) == 0;
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
