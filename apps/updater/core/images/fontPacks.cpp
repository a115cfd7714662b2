#include "core/images/fontPacks.h"

#include "core/images/embeddedImages.h"

namespace images {
namespace {

constexpr FontPack fontPack(const char* fileName, const char* catalogueName) {
    return {fileName, embeddedImage(imageFileIndex(catalogueName))};
}

static_assert(imageFiles[imageFileIndex("Kanji_11x12.bin.lz4")].decodedLength <= kFontMaxDecoded &&
              imageFiles[imageFileIndex("Kanji_18x18.bin.lz4")].decodedLength <= kFontMaxDecoded &&
              imageFiles[imageFileIndex("Kanji_19x19.bin.lz4")].decodedLength <= kFontMaxDecoded);

}  // namespace

constinit const FontPackTable fontPackTable = {
    fontPack("Kanji_11x12.bin", "Kanji_11x12.bin.lz4"),
    fontPack("Kanji_18x18.bin", "Kanji_18x18.bin.lz4"),
    fontPack("Kanji_19x19.bin", "Kanji_19x19.bin.lz4"),
};

const FontPack* findFontPack(std::string_view fileName) {
    for (const auto& pack : fontPackTable)
        if (fileName == pack.fileName) return &pack;
    return nullptr;
}

std::vector<const FontPack*> fontPacksForType(int deviceType) {
    if (deviceType == 11 || deviceType == 12) return {&fontPackTable[2]};
    return {&fontPackTable[0], &fontPackTable[1]};
}

std::optional<uint32_t> unpackFontPack(const FontPack& pack, const LogLine& logLine) {
    return decodeChecked(pack.image, imageBuffer, kFontMaxDecoded, pack.fileName, logLine);
}

}  // namespace images
