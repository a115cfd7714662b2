#include "sim/SimulatedFirmware.h"

#include <string>

#include "core/images/imageCatalogue.h"

namespace sim {

std::vector<uint8_t> makeFirmwareImage(const images::ImageVersion& version, size_t length) {
    if (length < images::kVersionBlockOffset + images::kVersionBlockSize) return {};
    std::vector<uint8_t> image(length);
    images::detail::writeLe32(image.data(), images::kInitialStackPointer);
    images::detail::writeLe32(image.data() + 4, images::kResetHandler);
    // A small linear congruential sequence seeded by the version: cheap, and
    // different for every type, variant and version.
    uint32_t seed = 0x51554F52u ^ static_cast<uint32_t>(version.deviceType << 24) ^
                    static_cast<uint32_t>(version.variant << 16) ^
                    static_cast<uint32_t>(version.major << 8) ^
                    static_cast<uint32_t>(version.minor);
    for (size_t i = 8; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        image[i] = static_cast<uint8_t>(seed >> 24);
    }
    if (!images::writeVersionBlock(image.data(), image.size(), version)) return {};
    return image;
}

// Kept apart from the updater's own (core/Nordic.cpp) on purpose: the GPS
// checks what the host computed, so the two must not share a routine.
uint16_t radioImageCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) | (crc << 8));
        crc ^= data[i];
        crc ^= static_cast<uint16_t>((crc & 0xFF) >> 4);
        crc ^= static_cast<uint16_t>(crc << 12);
        crc ^= static_cast<uint16_t>((crc & 0xFF) << 5);
    }
    return crc;
}

std::optional<uint32_t> fontPackSize(std::string_view fileName) {
    if (fileName.find('/') != std::string_view::npos) return std::nullopt;
    const std::string embedded = std::string(fileName) + ".lz4";
    const size_t index = images::imageFileIndex(std::string_view(embedded));
    if (index == images::kImageFileCount) return std::nullopt;
    if (images::imageFiles[index].kind != images::ImageKind::font) return std::nullopt;
    return images::imageFiles[index].decodedLength;
}

}  // namespace sim
