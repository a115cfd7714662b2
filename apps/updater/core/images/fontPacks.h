// The Kanji font packs (the menu's language packs) for Japanese-variant units.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/images/imageDecode.h"

namespace images {

struct FontPack {
    const char* fileName;  // the name it gets on the GPS drive, e.g. "Kanji_11x12.bin"
    CompressedImage image;
};

using FontPackTable = std::array<FontPack, 3>;
// Kanji_11x12.bin, Kanji_18x18.bin, Kanji_19x19.bin.
extern const FontPackTable fontPackTable;

inline constexpr int kFontMaxDecoded = 500'000;

// By file name ("Kanji_18x18.bin"); null when there is no such pack.
const FontPack* findFontPack(std::string_view fileName);

// The packs a type loads, in order: Kanji_19x19.bin alone for types 11 and 12
// (Condor GPS, Condor Chroma), Kanji_11x12.bin then Kanji_18x18.bin for every
// other type.
std::vector<const FontPack*> fontPacksForType(int deviceType);

// The pack decoded into imageBuffer (at most 500,000 bytes), its length on
// success; nothing (after a "Decoding Kanji_... failed" line) otherwise.
std::optional<uint32_t> unpackFontPack(const FontPack& pack, const LogLine& logLine);

}  // namespace images
