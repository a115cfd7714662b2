// An image that decodes to more than its buffer holds is refused by the
// decode itself: nothing is written past the buffer, and no length comes
// back for a caller to stage or copy.
#include <gtest/gtest.h>
#include <lz4.h>

#include <string>
#include <vector>

#include "core/images/imageDecode.h"
#include "core/images/radioImages.h"

namespace {

// A raw LZ4 block of `decoded` bytes of a repeating pattern.
std::vector<uint8_t> blockOf(size_t decoded) {
    std::vector<char> plain(decoded);
    for (size_t i = 0; i < decoded; ++i) plain[i] = static_cast<char>(i % 251);
    std::vector<uint8_t> block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(decoded))));
    const int n = LZ4_compress_default(plain.data(), reinterpret_cast<char*>(block.data()),
                                       static_cast<int>(decoded), static_cast<int>(block.size()));
    block.resize(static_cast<size_t>(n));
    return block;
}

images::CompressedImage entryFor(const std::vector<uint8_t>& block, size_t decoded) {
    images::CompressedImage image;
    image.data = block.data();
    image.compressedLength = static_cast<uint32_t>(block.size());
    image.decodedLength = static_cast<uint32_t>(decoded);
    image.fileName = "oversized.bin";
    return image;
}

struct Lines {
    std::vector<std::string> lines;
    images::LogLine sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

TEST(ImageBounds, ABlockLongerThanItsBufferIsRefusedAndNothingSpills) {
    // A buffer with a guard after it: the decode is told the buffer's size
    // and must not touch the guard, whatever the block claims.
    constexpr size_t kBuffer = 4096;
    constexpr uint8_t kGuard = 0xA5;
    const std::vector<uint8_t> block = blockOf(kBuffer + 1);
    const images::CompressedImage image = entryFor(block, kBuffer + 1);
    std::vector<uint8_t> memory(kBuffer + 256, kGuard);
    Lines log;
    EXPECT_FALSE(images::decodeChecked(image, memory.data(), static_cast<int>(kBuffer), "binary",
                                       log.sink()));
    for (size_t i = kBuffer; i < memory.size(); ++i) ASSERT_EQ(memory[i], kGuard) << "byte " << i;
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Decoding binary failed: LZ4 result -", 0), 0u) << log.lines[0];
}

TEST(ImageBounds, TheSharedBuffersRefuseAnImageOneByteTooLong) {
    // Exactly the buffer fits; one byte more is refused, for the main image,
    // the radio image and its init packet alike. Under AddressSanitizer an
    // overrun of the static buffers would stop the test here.
    const size_t tooLong = images::kImageBufferSize + 1;
    const std::vector<uint8_t> fits = blockOf(images::kImageBufferSize);
    const std::vector<uint8_t> block = blockOf(tooLong);
    Lines log;
    EXPECT_EQ(images::decodeChecked(entryFor(fits, images::kImageBufferSize), images::imageBuffer,
                                    images::kImageBufferSize, "binary", log.sink()),
              std::optional<uint32_t>(images::kImageBufferSize));
    EXPECT_FALSE(images::decodeChecked(entryFor(block, tooLong), images::imageBuffer,
                                       images::kImageBufferSize, "binary", log.sink()));

    images::RadioImageEntry radio{entryFor(block, tooLong), entryFor(block, tooLong)};
    EXPECT_FALSE(images::unpackRadioImage(radio, log.sink()));
    EXPECT_FALSE(images::unpackRadioInitPacket(radio, log.sink()));

    int refusals = 0;
    for (const std::string& line : log.lines)
        refusals += line.find("failed: LZ4 result -") != std::string::npos;
    EXPECT_EQ(refusals, 3);
}

}  // namespace
