// The mark that every stand-in image carries: what the image generator puts
// into each image it makes (main firmware, radio, init packet, font pack), so
// that the images themselves say they are not the maker's, whatever the build
// says. Header-only, standard library only, shared by the generator, the
// build's check of real images and the program.
//
// Where it sits in the decoded image: just after the version block in a main
// firmware image (the vector table and the block keep their places), at the
// very start of every other image. The generator keeps it a literal of the
// LZ4 block's first run, so it can be found in the compressed bytes too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/images/ImageVersionBlock.h"
#include "core/images/imageCatalogue.h"

namespace images {

inline constexpr char kStandInMark[] = "QUORTA STAND-IN IMAGE: NOT FIRMWARE";
inline constexpr size_t kStandInMarkLength = sizeof kStandInMark - 1;

constexpr size_t standInMarkOffset(ImageKind kind) {
    return kind == ImageKind::firmware ? kVersionBlockOffset + kVersionBlockSize : 0;
}

// The decoded image carries the mark at its place.
inline bool hasStandInMark(ImageKind kind, const uint8_t* decoded, size_t length) {
    const size_t at = standInMarkOffset(kind);
    return length >= at + kStandInMarkLength &&
           std::memcmp(decoded + at, kStandInMark, kStandInMarkLength) == 0;
}

// How far into a raw LZ4 block the mark can be, when the generator put it
// there: the first run's token and length bytes (one per 255 literals), then
// its literals.
constexpr size_t standInMarkSearchLength(ImageKind kind) {
    return standInMarkOffset(kind) + kStandInMarkLength + 256;
}

// The compressed block carries the mark among its first literals.
inline bool blockHasStandInMark(ImageKind kind, const uint8_t* block, size_t length) {
    const size_t span =
        standInMarkSearchLength(kind) < length ? standInMarkSearchLength(kind) : length;
    for (size_t at = 0; at + kStandInMarkLength <= span; ++at)
        if (std::memcmp(block + at, kStandInMark, kStandInMarkLength) == 0) return true;
    return false;
}

}  // namespace images
