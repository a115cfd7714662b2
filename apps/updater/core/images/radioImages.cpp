#include "core/images/radioImages.h"

#include "core/images/embeddedImages.h"

namespace images {
namespace {

constexpr RadioImageEntry radioRow(int type) {
    RadioImageEntry row{};
    row.image = embeddedImage(imageFileIndex(ImageKind::radio, type));
    const size_t init = imageFileIndex(ImageKind::radioInit, type);
    if (init != kImageFileCount) row.initPacket = embeddedImage(init);
    return row;
}

constexpr RadioImageTable buildRadioTable() {
    RadioImageTable table{};
    for (int type = kFirstDeviceType; type <= kLastDeviceType; ++type)
        table[size_t(type - kFirstDeviceType)] = radioRow(type == 16 ? 14 : type);
    return table;
}

}  // namespace

constinit const RadioImageTable radioImageTable = buildRadioTable();

const RadioImageEntry* findRadioImage(int deviceType) {
    if (deviceType < kFirstDeviceType || deviceType > kLastDeviceType) return nullptr;
    return &radioImageTable[size_t(deviceType - kFirstDeviceType)];
}

std::optional<uint32_t> unpackRadioImage(const RadioImageEntry& entry, const LogLine& logLine) {
    logTo(logLine, formatLine("Compressed nrf size = %d\n\r", int(entry.image.compressedLength)));
    logTo(logLine, "decompressing nrf\r\n");
    auto decoded = decodeChecked(entry.image, imageBuffer, kImageBufferSize, "nrf", logLine);
    if (decoded) logTo(logLine, formatLine("Decoded nrf bytes = %d\n\r", int(*decoded)));
    return decoded;
}

std::optional<uint32_t> unpackRadioInitPacket(const RadioImageEntry& entry,
                                              const LogLine& logLine) {
    if (!entry.hasInitPacket()) return std::nullopt;
    logTo(logLine,
          formatLine("Compressed nrf dat size = %d\n\r", int(entry.initPacket.compressedLength)));
    logTo(logLine, "decompressing nrf dat\r\n");
    auto decoded =
        decodeChecked(entry.initPacket, initPacketBuffer, kImageBufferSize, "nrf dat", logLine);
    if (decoded) logTo(logLine, formatLine("Decoded nrf dat bytes = %d\n\r", int(*decoded)));
    return decoded;
}

}  // namespace images
