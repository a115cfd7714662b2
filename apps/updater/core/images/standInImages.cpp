#include "core/images/standInImages.h"

#include <atomic>

#include "core/images/embeddedImages.h"
#include "core/images/standInMark.h"

namespace images {
namespace {

std::atomic<bool> refuseStandIns{false};

}  // namespace

bool buildCarriesStandIns() {
#ifdef QUORTA_REAL_IMAGES
    return false;
#else
    return true;
#endif
}

bool embeddedImagesMarked() {
    // Looked at once: the embedded bytes do not change while the program runs.
    static const bool marked = [] {
        for (size_t i = 0; i < kImageFileCount; ++i) {
            const CompressedImage image = embeddedImage(i);
            if (blockHasStandInMark(image.kind, image.data, image.compressedLength)) return true;
        }
        return false;
    }();
    return marked;
}

void setRefuseStandIns(bool refuse) {
    refuseStandIns = refuse;
}

bool standInsRefused() {
    return refuseStandIns;
}

}  // namespace images
