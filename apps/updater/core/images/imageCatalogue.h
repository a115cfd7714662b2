// Every image the updater carries, in the order they are embedded: file name,
// raw LZ4 block length and decoded length. The stand-in generator, the size
// check of real images and the lookups all read this one list, so a size can
// only be wrong in one place. Plain data, no dependencies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace images {

enum class ImageKind : uint8_t { firmware, radio, radioInit, font };

// Variant numbers as the device reports them.
inline constexpr int kStandardVariant = 0;
inline constexpr int kJapaneseVariant = 60;

// Device types the updater can program.
inline constexpr int kFirstDeviceType = 4;
inline constexpr int kLastDeviceType = 16;
inline constexpr int kDeviceTypeCount = kLastDeviceType - kFirstDeviceType + 1;

struct ImageFile {
    ImageKind kind;
    int deviceType;  // -1 for the font packs
    int variant;     // kStandardVariant or kJapaneseVariant (firmware only)
    const char* fileName;
    uint32_t compressedLength;
    uint32_t decodedLength;
};

// clang-format off
inline constexpr ImageFile imageFiles[] = {
    {ImageKind::firmware, 4, 0, "firmware_04_standard.lz4", 372744, 467264},
    {ImageKind::firmware, 4, 60, "firmware_04_japanese.lz4", 375149, 466864},
    {ImageKind::firmware, 5, 0, "firmware_05_standard.lz4", 365568, 459600},
    {ImageKind::firmware, 5, 60, "firmware_05_japanese.lz4", 368012, 459264},
    {ImageKind::firmware, 6, 0, "firmware_06_standard.lz4", 349900, 440288},
    {ImageKind::firmware, 6, 60, "firmware_06_japanese.lz4", 364113, 454176},
    {ImageKind::firmware, 7, 0, "firmware_07_standard.lz4", 356109, 446024},
    {ImageKind::firmware, 7, 60, "firmware_07_japanese.lz4", 369924, 459776},
    {ImageKind::firmware, 8, 0, "firmware_08_standard.lz4", 367305, 460992},
    {ImageKind::firmware, 8, 60, "firmware_08_japanese.lz4", 381623, 474856},
    {ImageKind::firmware, 9, 0, "firmware_09_standard.lz4", 371212, 464568},
    {ImageKind::firmware, 9, 60, "firmware_09_japanese.lz4", 385438, 478464},
    {ImageKind::firmware, 10, 0, "firmware_10_standard.lz4", 342479, 431952},
    {ImageKind::firmware, 10, 60, "firmware_10_japanese.lz4", 355924, 445840},
    {ImageKind::firmware, 11, 0, "firmware_11_standard.lz4", 399354, 570480},
    {ImageKind::firmware, 11, 60, "firmware_11_japanese.lz4", 390575, 568944},
    {ImageKind::firmware, 12, 0, "firmware_12_standard.lz4", 382671, 559544},
    {ImageKind::firmware, 12, 60, "firmware_12_japanese.lz4", 375997, 561592},
    {ImageKind::firmware, 13, 0, "firmware_13_standard.lz4", 387014, 546272},
    {ImageKind::firmware, 13, 60, "firmware_13_japanese.lz4", 388492, 566752},
    {ImageKind::firmware, 14, 0, "firmware_14_standard.lz4", 366565, 521264},
    {ImageKind::firmware, 14, 60, "firmware_14_japanese.lz4", 367281, 541744},
    {ImageKind::firmware, 15, 0, "firmware_15_standard.lz4", 318847, 470632},
    {ImageKind::firmware, 15, 60, "firmware_15_japanese.lz4", 335911, 507928},
    {ImageKind::firmware, 16, 0, "firmware_16_standard.lz4", 349099, 500688},
    {ImageKind::firmware, 16, 60, "firmware_16_japanese.lz4", 347463, 518096},

    // Type 16 has no radio files of its own: it uses type 14's.
    {ImageKind::radio, 4, 0, "radio_04.lz4", 112215, 124208},
    {ImageKind::radio, 5, 0, "radio_05.lz4", 101420, 112440},
    {ImageKind::radio, 6, 0, "radio_06.lz4", 112349, 124192},
    {ImageKind::radio, 7, 0, "radio_07.lz4", 112369, 124192},
    {ImageKind::radio, 8, 0, "radio_08.lz4", 101037, 108500},
    {ImageKind::radio, 9, 0, "radio_09.lz4", 101049, 108508},
    {ImageKind::radio, 10, 0, "radio_10.lz4", 101408, 112440},
    {ImageKind::radio, 11, 0, "radio_11.lz4", 103170, 113716},
    {ImageKind::radio, 12, 0, "radio_12.lz4", 103170, 113716},
    {ImageKind::radio, 13, 0, "radio_13.lz4", 103080, 113720},
    {ImageKind::radio, 14, 0, "radio_14.lz4", 92405, 102444},
    {ImageKind::radio, 15, 0, "radio_15.lz4", 92731, 103016},

    {ImageKind::radioInit, 11, 0, "radio_init_11.lz4", 137, 135},
    {ImageKind::radioInit, 12, 0, "radio_init_12.lz4", 137, 135},
    {ImageKind::radioInit, 13, 0, "radio_init_13.lz4", 137, 135},
    {ImageKind::radioInit, 14, 0, "radio_init_14.lz4", 137, 135},
    {ImageKind::radioInit, 15, 0, "radio_init_15.lz4", 137, 135},

    {ImageKind::font, -1, 0, "Kanji_11x12.bin.lz4", 136229, 152520},
    {ImageKind::font, -1, 0, "Kanji_18x18.bin.lz4", 286971, 343170},
    {ImageKind::font, -1, 0, "Kanji_19x19.bin.lz4", 300600, 362235},
};
// clang-format on

inline constexpr size_t kImageFileCount = sizeof imageFiles / sizeof imageFiles[0];

// Where entry `index` starts inside the embedded blob (entries follow each
// other without padding).
constexpr size_t embeddedOffset(size_t index) {
    size_t offset = 0;
    for (size_t i = 0; i < index; ++i) offset += imageFiles[i].compressedLength;
    return offset;
}

constexpr size_t compressedTotal(ImageKind kind) {
    size_t total = 0;
    for (const auto& f : imageFiles)
        if (f.kind == kind) total += f.compressedLength;
    return total;
}

inline constexpr size_t kEmbeddedTotal = embeddedOffset(kImageFileCount);

static_assert(compressedTotal(ImageKind::firmware) == 9'534'769);
static_assert(compressedTotal(ImageKind::radio) == 1'236'403);
static_assert(compressedTotal(ImageKind::radioInit) == 685);
static_assert(compressedTotal(ImageKind::font) == 723'800);
static_assert(kEmbeddedTotal == 11'495'657);

// Index of the entry of a kind for a device type (and variant for firmware),
// or kImageFileCount when there is none.
constexpr size_t imageFileIndex(ImageKind kind, int deviceType, int variant = 0) {
    for (size_t i = 0; i < kImageFileCount; ++i) {
        const auto& f = imageFiles[i];
        if (f.kind == kind && f.deviceType == deviceType &&
            (kind != ImageKind::firmware || f.variant == variant))
            return i;
    }
    return kImageFileCount;
}

constexpr size_t imageFileIndex(std::string_view fileName) {
    for (size_t i = 0; i < kImageFileCount; ++i)
        if (fileName == imageFiles[i].fileName) return i;
    return kImageFileCount;
}

// The firmware version of the images carried for each type: what the
// programmed device reports afterwards, and what the version block of every
// stand-in image holds. The device-information rules compare against it.
struct FirmwareVersion {
    int major;
    int minor;
    friend constexpr bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

constexpr FirmwareVersion carriedFirmwareVersion(int deviceType) {
    if (deviceType >= 4 && deviceType <= 10) return {7, 63};
    if (deviceType >= 11 && deviceType <= 14) return {14, 51};
    if (deviceType == 15) return {13, 12};
    if (deviceType == 16) return {14, 31};
    return {0, 0};
}

}  // namespace images
