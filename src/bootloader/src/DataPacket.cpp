#include "bootloader/DataPacket.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "bootloader/Logger.h"
#include "bootloader/Packetizer.h"

namespace bootloader {

// --- Producers ------------------------------------------------------------

FileDataProducer::~FileDataProducer() {
    if (file_) std::fclose(file_);
}

bool FileDataProducer::init(const std::string& path, uint32_t size) {
    filePath_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        logError("Error: cannot open input data file '%s'\n", path.c_str());
        return false;
    }
    if (size == 0) {
        std::fseek(file_, 0, SEEK_END);
        long length = std::ftell(file_);
        std::fseek(file_, 0, SEEK_SET);
        size = length > 0 ? static_cast<uint32_t>(std::min<long>(length, 0xFFFFFFFFl)) : 0;
    }
    fileSize_ = size;
    logInfo("Preparing to send %d (0x%x) bytes to the target.\n", static_cast<int>(fileSize_),
            fileSize_);
    return true;
}

bool FileDataProducer::hasMoreData() const {
    // A read error ends the data as surely as the end of the file does.
    return fileSize_ != 0 && file_ && !std::feof(file_) && !std::ferror(file_) && sent_ < fileSize_;
}

uint32_t FileDataProducer::getData(uint8_t* data, uint32_t maximum) {
    if (!hasMoreData()) return 0;
    // Never send more than the size the command announced.
    uint32_t want = std::min(maximum, fileSize_ - sent_);
    uint32_t got = static_cast<uint32_t>(std::fread(data, 1, want, file_));
    sent_ += got;
    return got;
}

namespace {

// Value of each character as a hexadecimal digit, or -1.
constexpr std::array<int8_t, 256> makeHexTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<int8_t>(c - 'A' + 10);
    return t;
}
constexpr std::array<int8_t, 256> kHexValue = makeHexTable();

}  // namespace

uint32_t HexDataProducer::initFromString(const std::string& text) {
    // One pass: everything that is not a hex digit (braces, spaces, commas, the
    // x of "0x") is skipped; digits pair up into bytes. Written through a
    // pointer into a buffer sized for the worst case: a firmware image is a
    // megabyte of text, parsed twice per write.
    data_.resize(text.size() / 2 + 1);
    index_ = 0;
    uint8_t* out = data_.data();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    int high = -1;
    for (; p != end; ++p) {
        int v = kHexValue[*p];
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            *out++ = static_cast<uint8_t>(high << 4 | v);
            high = -1;
        }
    }
    if (high >= 0) *out++ = static_cast<uint8_t>(high);
    data_.resize(static_cast<size_t>(out - data_.data()));
    return static_cast<uint32_t>(data_.size());
}

uint32_t HexDataProducer::getData(uint8_t* data, uint32_t maximum) {
    size_t n = std::min<size_t>(maximum, data_.size() - index_);
    std::memcpy(data, data_.data() + index_, n);
    index_ += n;
    return static_cast<uint32_t>(n);
}

uint32_t ByteSpanSegment::copyData(uint8_t* data, uint32_t offset, uint32_t maximum) const {
    if (offset >= length_) return 0;
    uint32_t n = std::min(maximum, length_ - offset);
    std::memcpy(data, bytes_ + offset, n);
    return n;
}

uint32_t SegmentDataProducer::getData(uint8_t* data, uint32_t maximum) {
    if (!hasMoreData()) return 0;
    uint32_t want = std::min(maximum, segment_.getLength() - offset_);
    uint32_t got = std::min(segment_.copyData(data, offset_, want), want);
    if (got == 0) stalled_ = true;
    offset_ += got;
    return got;
}

// --- Consumers ------------------------------------------------------------

FileDataConsumer::~FileDataConsumer() {
    if (file_) std::fclose(file_);
}

bool FileDataConsumer::init(const std::string& path) {
    filePath_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        logError("Error: cannot open output data file '%s'\n", path.c_str());
        return false;
    }
    return true;
}

void FileDataConsumer::processData(const uint8_t* data, uint32_t size) {
    if (file_ && std::fwrite(data, 1, size, file_) != size) {
        logError("Error: cannot write output data file '%s'\n", filePath_.c_str());
    }
}

void StdOutDataConsumer::processData(const uint8_t* data, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        ++currentCount_;
        std::fprintf(out_, "%02x%s", data[i], currentCount_ % 16 == 0 ? "\n" : " ");
    }
}

void StdOutDataConsumer::finalize() {
    // End the last line unless it is already ended.
    if (currentCount_ % 16 != 0 || currentCount_ == 0) std::fputs("\n", out_);
    std::fflush(out_);
}

// --- Data phases ----------------------------------------------------------

namespace {

// The response that ends a data phase; a target gone silent gets its line.
ResponsePacket readFinalResponse(Packetizer& packetizer) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    status_t status = packetizer.readPacket(&bytes, &length, kPacketType_Command);
    if (status != kStatus_Success) {
        logError("Data phase final response readPacket error %d.\n", status);
        return {};
    }
    return {bytes, length};
}

}  // namespace

DataPacket::DataPacket(DataProducer* producer) : dataProducer_(producer) {
    assert(dataProducer_ && "dataProducer");
}

DataPacket::DataPacket(DataConsumer* consumer) : dataConsumer_(consumer) {
    assert(dataConsumer_ && "dataConsumer");
}

ResponsePacket DataPacket::sendTo(Packetizer& packetizer, uint32_t* bytesWritten) {
    uint32_t written = 0;
    if (!dataProducer_->hasMoreData()) packetizer.beforeTransfer();
    const uint32_t total = dataProducer_->getDataSize();
    const uint32_t maximum = std::min<uint32_t>(sizeof packet_, packetizer.getMaxPacketSize());
    int idle = 0;  // a producer that keeps giving nothing must not spin for ever
    while (dataProducer_->hasMoreData() && written < total) {
        uint32_t n = dataProducer_->getData(packet_, maximum);
        if (n == 0) {
            if (++idle < 1000) continue;
            logError("Data phase stopped: the data source gives no more data\n");
            break;
        }
        idle = 0;
        status_t status = packetizer.writePacket(packet_, n, kPacketType_Data);
        if (status != kStatus_Success) {
            logError("Data phase write aborted by status 0x%x %s\n", status,
                     getStatusMessage(status).c_str());
            break;
        }
        written += n;
    }
    if (bytesWritten) *bytesWritten = written;

    return readFinalResponse(packetizer);
}

ResponsePacket DataPacket::receiveFrom(Packetizer& packetizer, uint32_t* remaining,
                                       uint32_t* received) {
    if (*remaining == 0) packetizer.beforeTransfer();
    while (*remaining > 0) {
        packetizer.beforeTransfer();
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        if (packetizer.readPacket(&bytes, &length, kPacketType_Data) != kStatus_Success) {
            logInfo("Read data packet error. Sending ACK.\n");
            dataConsumer_->finalize();
            packetizer.sendAck();
            return {};
        }
        if (length == 0) {
            logInfo("Data phase aborted by sender\n");
            break;
        }
        // Bytes beyond what the target announced are not handed on.
        uint32_t n = std::min(length, *remaining);
        dataConsumer_->processData(bytes, n);
        *remaining -= n;
        if (received) *received += n;
    }
    dataConsumer_->finalize();

    return readFinalResponse(packetizer);
}

}  // namespace bootloader
