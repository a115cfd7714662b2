// One data phase of a command: a producer feeds data-out packets, a consumer
// takes data-in packets. Both live on the stack of the command's sendTo.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bootloader/Command.h"

namespace bootloader {

class DataProducer {
  public:
    virtual ~DataProducer() = default;
    virtual bool hasMoreData() const = 0;
    virtual uint32_t getDataSize() const = 0;
    // Copies up to `maximum` bytes; returns the count.
    virtual uint32_t getData(uint8_t* data, uint32_t maximum) = 0;
};

class FileDataProducer : public DataProducer {
  public:
    ~FileDataProducer() override;
    // Opens the file; `size` 0 means the whole file.
    bool init(const std::string& path, uint32_t size);
    bool hasMoreData() const override;
    uint32_t getDataSize() const override { return fileSize_; }
    uint32_t getData(uint8_t* data, uint32_t maximum) override;

  private:
    std::string filePath_;
    FILE* file_ = nullptr;
    uint32_t fileSize_ = 0;
    uint32_t sent_ = 0;
};

class HexDataProducer : public DataProducer {
  public:
    HexDataProducer() = default;
    explicit HexDataProducer(std::vector<uint8_t> data) : data_(std::move(data)) {}
    // Keeps the hexadecimal digits of `text` and reads them two at a time (a
    // last single digit is a byte of its own). Returns the byte count.
    uint32_t initFromString(const std::string& text);
    bool hasMoreData() const override { return index_ < data_.size(); }
    uint32_t getDataSize() const override { return static_cast<uint32_t>(data_.size()); }
    uint32_t getData(uint8_t* data, uint32_t maximum) override;
    const std::vector<uint8_t>& bytes() const { return data_; }

  private:
    std::vector<uint8_t> data_;
    size_t index_ = 0;
};

// A block of memory that a command built in code writes to the target.
class MemorySegment {
  public:
    virtual ~MemorySegment() = default;
    virtual uint32_t getLength() const = 0;
    // Copies up to `maximum` bytes from `offset`; returns the count.
    virtual uint32_t copyData(uint8_t* data, uint32_t offset, uint32_t maximum) const = 0;
};

// A MemorySegment over bytes held elsewhere (which must outlive it).
class ByteSpanSegment : public MemorySegment {
  public:
    ByteSpanSegment(const uint8_t* bytes, uint32_t length) : bytes_(bytes), length_(length) {}
    uint32_t getLength() const override { return length_; }
    uint32_t copyData(uint8_t* data, uint32_t offset, uint32_t maximum) const override;

  private:
    const uint8_t* bytes_;
    uint32_t length_;
};

class SegmentDataProducer : public DataProducer {
  public:
    explicit SegmentDataProducer(const MemorySegment& segment) : segment_(segment) {}
    bool hasMoreData() const override { return !stalled_ && offset_ < segment_.getLength(); }
    uint32_t getDataSize() const override { return segment_.getLength(); }
    uint32_t getData(uint8_t* data, uint32_t maximum) override;

  private:
    const MemorySegment& segment_;
    uint32_t offset_ = 0;
    bool stalled_ = false;  // the segment gave nothing: stop rather than spin
};

class DataConsumer {
  public:
    virtual ~DataConsumer() = default;
    virtual void processData(const uint8_t* data, uint32_t size) = 0;
    virtual void finalize() = 0;
};

class FileDataConsumer : public DataConsumer {
  public:
    ~FileDataConsumer() override;
    bool init(const std::string& path);
    void processData(const uint8_t* data, uint32_t size) override;
    void finalize() override {}

  private:
    std::string filePath_;
    FILE* file_ = nullptr;
};

// Prints the bytes as hexadecimal, 16 to a line.
class StdOutDataConsumer : public DataConsumer {
  public:
    explicit StdOutDataConsumer(FILE* out = stdout) : out_(out) {}
    void processData(const uint8_t* data, uint32_t size) override;
    void finalize() override;

  private:
    FILE* out_;
    uint32_t currentCount_ = 0;
};

class DataPacket {
  public:
    explicit DataPacket(DataProducer* producer);
    explicit DataPacket(DataConsumer* consumer);

    // Data out: sends the producer's data 32 bytes a packet, then reads the
    // final response. `bytesWritten` receives what was sent.
    ResponsePacket sendTo(Packetizer& packetizer, uint32_t* bytesWritten);
    // Data in: hands up to `*remaining` bytes to the consumer, counting them
    // down, then reads the final response (none after a read failure).
    // `received` counts the bytes actually handed on.
    ResponsePacket receiveFrom(Packetizer& packetizer, uint32_t* remaining, uint32_t* received);

  private:
    DataProducer* dataProducer_ = nullptr;
    DataConsumer* dataConsumer_ = nullptr;
    uint8_t packet_[32] = {};
};

}  // namespace bootloader
