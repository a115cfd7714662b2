// Stand-ins for the images the updater carries: the same sizes and format as
// the maker's, with contents that a compressor treats like firmware and fonts.
#pragma once

#include <cstdint>
#include <vector>

#include "core/images/imageCatalogue.h"

namespace imagegen {

struct StandIn {
    std::vector<uint8_t> block;    // raw LZ4 block, exactly compressedLength bytes
    std::vector<uint8_t> decoded;  // what it decodes to, exactly decodedLength bytes
};

// Deterministic: the same entry always gives the same bytes. Throws
// std::runtime_error if no block of the exact lengths could be built.
// `marked` puts the stand-in mark in (every image the build embeds has it);
// unmarked ones play the maker's images in the tests of a real-images build.
StandIn makeStandIn(const images::ImageFile& file, bool marked = true);

}  // namespace imagegen
