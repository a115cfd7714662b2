// The blob that the image step's assembler file puts in the program's
// read-only data: every catalogue entry's raw LZ4 block, one after the other,
// in the order of imageFiles.
#pragma once

#include <cstdint>

#include "core/images/imageCatalogue.h"
#include "core/images/imageDecode.h"

extern "C" const uint8_t quorta_embedded_images[images::kEmbeddedTotal];
extern "C" const uint8_t quorta_embedded_images_end[];
// The SHA-256 of each decoded image, in the same order, as the build recorded it.
extern "C" const uint8_t quorta_image_digests[images::kImageFileCount][32];

namespace images {

constexpr CompressedImage embeddedImage(size_t catalogueIndex) {
    const ImageFile& f = imageFiles[catalogueIndex];
    return {quorta_embedded_images + embeddedOffset(catalogueIndex),
            f.compressedLength,
            f.decodedLength,
            f.fileName,
            f.kind,
            quorta_image_digests[catalogueIndex]};
}

// The blob's length as linked; the build makes it kEmbeddedTotal.
inline size_t embeddedLength() {
    return size_t(reinterpret_cast<uintptr_t>(quorta_embedded_images_end) -
                  reinterpret_cast<uintptr_t>(quorta_embedded_images));
}

}  // namespace images
