#include "core/images/firmwareImages.h"

#include <cstdio>

#include "core/images/embeddedImages.h"

namespace images {
namespace {

constexpr FirmwareImageTable buildFirmwareTable() {
    FirmwareImageTable table{};
    for (int type = kFirstDeviceType; type <= kLastDeviceType; ++type) {
        table[size_t(type - kFirstDeviceType)][0] =
            embeddedImage(imageFileIndex(ImageKind::firmware, type, kStandardVariant));
        table[size_t(type - kFirstDeviceType)][1] =
            embeddedImage(imageFileIndex(ImageKind::firmware, type, kJapaneseVariant));
    }
    return table;
}

}  // namespace

constinit const FirmwareImageTable firmwareImageTable = buildFirmwareTable();

uint8_t firmwareBuffer[kImageBufferSize];

const CompressedImage* findFirmwareImage(int deviceType, int lv) {
    if (deviceType < kFirstDeviceType || deviceType > kLastDeviceType) return nullptr;
    return &firmwareImageTable[size_t(deviceType - kFirstDeviceType)]
                              [lv == kJapaneseVariant ? 1 : 0];
}

int decompressImage(const CompressedImage& entry) {
    return decodeInto(entry, imageBuffer, kImageBufferSize);
}

std::optional<uint32_t> unpackFirmwareImage(int deviceType, int lv, int gcbn,
                                            const LogLine& logLine) {
    const CompressedImage* entry = findFirmwareImage(deviceType, lv);
    if (!entry) {
        logTo(logLine, "Invalid device type\r\n");
        std::fputs("Invalid device type\r\n", stdout);
        std::fflush(stdout);
        return std::nullopt;
    }
    if (deviceType == 4 && lv == kJapaneseVariant)
        logTo(logLine, formatLine("\n-- Flash AA osprey gps jp m:%i gcbn:%i lv:%i --\r\n",
                                  deviceType, gcbn, lv));
    logTo(logLine, "Decompressing binary\r\n");
    return decodeChecked(*entry, firmwareBuffer, kImageBufferSize, "binary", logLine);
}

}  // namespace images
