// The version block of a main firmware image: what a device (real or
// simulated) reads to learn which firmware was flashed, and how a whole image
// is told from a broken or incomplete one. Header-only, standard library only,
// so the simulated GPS and the build's image generator can use it as they are.
//
// An image is the application linked to run at flash address 0xa000. It
// begins with the vector table (initial stack pointer 0x20010000, reset
// handler 0x0000A4B5), which takes the first 0x400 bytes; the version block
// follows it at offset 0x400, 32 bytes, all numbers little-endian:
//
//   offset  size  field
//   0       4     magic "QVER"
//   4       1     device type (4..16)
//   5       1     variant (0 standard, 60 Japanese)
//   6       1     firmware version major
//   7       1     firmware version minor
//   8       4     image length in bytes (the whole decoded image)
//   12      4     CRC-32 (IEEE 802.3 polynomial, reflected) of the whole image,
//                 computed with these four bytes taken as zero
//   16      16    reserved, zero
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crc/crc32.h"

namespace images {

inline constexpr uint32_t kImageLoadAddress = 0xa000;
inline constexpr uint32_t kInitialStackPointer = 0x20010000;
inline constexpr uint32_t kResetHandler = 0x0000A4B5;

inline constexpr size_t kVersionBlockOffset = 0x400;
inline constexpr size_t kVersionBlockSize = 32;
inline constexpr size_t kVersionBlockCrcOffset = kVersionBlockOffset + 12;
inline constexpr std::array<uint8_t, 4> kVersionBlockMagic = {'Q', 'V', 'E', 'R'};

struct ImageVersion {
    int deviceType = 0;
    int variant = 0;
    int major = 0;
    int minor = 0;
    friend constexpr bool operator==(const ImageVersion&, const ImageVersion&) = default;
};

enum class ImageCheck {
    ok,
    tooShort,          // not even the vector table and the version block
    badVectors,        // the first two words are not the expected stack and reset vector
    noVersionBlock,    // no magic at the version block's place (e.g. erased flash)
    incomplete,        // fewer bytes present than the block says the image has
    checksumMismatch,  // every byte present, but some differ from what was built
};

inline const char* imageCheckText(ImageCheck check) {
    switch (check) {
        case ImageCheck::ok:
            return "image intact";
        case ImageCheck::tooShort:
            return "image too short";
        case ImageCheck::badVectors:
            return "bad vector table";
        case ImageCheck::noVersionBlock:
            return "no version block";
        case ImageCheck::incomplete:
            return "image incomplete";
        case ImageCheck::checksumMismatch:
            return "image checksum mismatch";
    }
    return "unknown";
}

namespace detail {

// The register of the program's one CRC-32 (src/crc) run over more bytes.
inline uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length) {
    crc::Crc32 ctx{crc};
    crc::crc32Update(ctx, data, length);
    return ctx.value;
}

inline uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

}  // namespace detail

// CRC-32 of the first `length` bytes of an image, with the version block's
// CRC field read as zero. `length` must cover the version block.
inline uint32_t imageCrc32(const uint8_t* image, size_t length) {
    static constexpr uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t crc = 0xFFFFFFFFu;
    crc = detail::crc32Update(crc, image, kVersionBlockCrcOffset);
    crc = detail::crc32Update(crc, zeros, 4);
    crc = detail::crc32Update(crc, image + kVersionBlockCrcOffset + 4,
                              length - kVersionBlockCrcOffset - 4);
    return crc ^ 0xFFFFFFFFu;
}

// Writes the block into a finished image of `length` bytes: call it after
// every other byte is final, since the CRC covers them. False when the image
// is too short to hold the vector table and the block, or a field does not
// fit its byte.
inline bool writeVersionBlock(uint8_t* image, size_t length, const ImageVersion& version) {
    if (length < kVersionBlockOffset + kVersionBlockSize || length > UINT32_MAX) return false;
    auto fitsByte = [](int v) { return v >= 0 && v <= 255; };
    if (!fitsByte(version.deviceType) || !fitsByte(version.variant) || !fitsByte(version.major) ||
        !fitsByte(version.minor))
        return false;
    uint8_t* block = image + kVersionBlockOffset;
    for (size_t i = 0; i < kVersionBlockSize; ++i) block[i] = 0;
    for (size_t i = 0; i < 4; ++i) block[i] = kVersionBlockMagic[i];
    block[4] = uint8_t(version.deviceType);
    block[5] = uint8_t(version.variant);
    block[6] = uint8_t(version.major);
    block[7] = uint8_t(version.minor);
    detail::writeLe32(block + 8, uint32_t(length));
    detail::writeLe32(block + 12, imageCrc32(image, length));
    return true;
}

// The fields of the version block, without judging the rest of the image;
// nothing when `available` bytes do not reach it or the magic is missing.
inline std::optional<ImageVersion> readVersionBlock(const uint8_t* data, size_t available) {
    if (available < kVersionBlockOffset + kVersionBlockSize) return std::nullopt;
    const uint8_t* block = data + kVersionBlockOffset;
    for (size_t i = 0; i < 4; ++i)
        if (block[i] != kVersionBlockMagic[i]) return std::nullopt;
    return ImageVersion{block[4], block[5], block[6], block[7]};
}

// Judges the bytes found at the image's load address: `available` is how many
// can be read there (an image may be followed by erased flash). On `ok`,
// `version` and `imageLength` (when given) receive what the block says.
inline ImageCheck checkImage(const uint8_t* data, size_t available, ImageVersion* version = nullptr,
                             size_t* imageLength = nullptr) {
    if (available < kVersionBlockOffset + kVersionBlockSize) return ImageCheck::tooShort;
    if (detail::readLe32(data) != kInitialStackPointer ||
        detail::readLe32(data + 4) != kResetHandler)
        return ImageCheck::badVectors;
    auto found = readVersionBlock(data, available);
    if (!found) return ImageCheck::noVersionBlock;
    const uint8_t* block = data + kVersionBlockOffset;
    const size_t length = detail::readLe32(block + 8);
    if (length < kVersionBlockOffset + kVersionBlockSize) return ImageCheck::noVersionBlock;
    if (length > available) return ImageCheck::incomplete;
    if (imageCrc32(data, length) != detail::readLe32(block + 12))
        return ImageCheck::checksumMismatch;
    if (version) *version = *found;
    if (imageLength) *imageLength = length;
    return ImageCheck::ok;
}

}  // namespace images
