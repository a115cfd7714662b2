// Whether the images this program carries are stand-ins, and whether images
// with the stand-in mark may be decoded for writing at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace images {

// The build's own word: built without a folder of real images, so the image
// generator made every image.
bool buildCarriesStandIns();

// The images' own word: some embedded image carries the stand-in mark.
bool embeddedImagesMarked();

// Either sign is enough.
inline bool carriesStandIns() {
    return buildCarriesStandIns() || embeddedImagesMarked();
}

// While set, decodeChecked refuses every image with the stand-in mark: set
// for a GPS on the real road, so that no stand-in reaches one even if the
// other checks were passed by.
void setRefuseStandIns(bool refuse);
bool standInsRefused();

// SHA-256 of `length` bytes compared with a 32-byte digest.
bool sha256Matches(const uint8_t* data, size_t length, const uint8_t* expected);

}  // namespace images
