// Pieces the fuzz targets share: a logger that formats every message and
// keeps none, a HID device and a byte line that hand out the fuzzer's bytes,
// and the commands a fuzzed device is asked to answer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bootloader/Logger.h"
#include "bootloader/Peripheral.h"
#include "hidport/hidport.h"

namespace fuzzing {

// The fuzzer's bytes, taken from the front in order, so that a seed file
// reads as what a device sends.
class ByteStream {
  public:
    ByteStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t remaining() const { return size_ - at_; }
    // 0 once the input is used up.
    uint8_t take() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to `count` bytes; fewer when the input runs out.
    size_t take(uint8_t* out, size_t count) {
        count = std::min(count, remaining());
        if (count) std::memcpy(out, data_ + at_, count);
        at_ += count;
        return count;
    }
    std::string rest() {
        std::string text(reinterpret_cast<const char*>(data_ + at_), remaining());
        at_ = size_;
        return text;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Formats every message, up to the byte trace, so that the formatting of
// what a device sent is fuzzed too; the text is dropped, or shown on
// standard error when QUORTA_FUZZ_LOG is set (to follow one input).
class DiscardingLogger : public bootloader::Logger {
  public:
    DiscardingLogger() { filterLevel = bootloader::kLogTrace; }
    size_t bytes = 0;

  protected:
    void _log(const char* text) override {
        bytes += std::strlen(text);
        if (show_) std::fputs(text, stderr);
    }

  private:
    bool show_ = std::getenv("QUORTA_FUZZ_LOG") != nullptr;
};

inline void installDiscardingLogger() {
    static DiscardingLogger logger;
    bootloader::setLogger(&logger);
}

// Splits on NUL bytes: every piece (empty ones too) is one element.
inline std::vector<std::string> splitOnNul(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    return pieces;
}

// A HID device whose input reports come from the fuzzer: each read takes a
// length byte (0xFF is a read error, anything else modulo reportSize + 1 is
// the count) and then that many bytes. Once the input is used up the device
// is silent: every read times out, as a real device that stopped talking.
class FuzzedHidDevice : public hidport::SimulatedHidDevice {
  public:
    FuzzedHidDevice(uint16_t vid, uint16_t pid, size_t reportSize, size_t outputLength,
                    ByteStream& input)
        : vid_(vid),
          pid_(pid),
          reportSize_(reportSize),
          outputLength_(outputLength),
          input_(input) {}

    uint16_t vendorId() const override { return vid_; }
    uint16_t productId() const override { return pid_; }
    size_t outputReportLength() const override { return outputLength_; }
    bool open() override { return true; }
    void close() override {}

    int read(unsigned char* data, size_t length, int) override {
        if (input_.remaining() == 0) return 0;
        const uint8_t lengthByte = input_.take();
        if (lengthByte == 0xFF) return -1;
        const size_t count = std::min<size_t>(lengthByte % (reportSize_ + 1), length);
        return static_cast<int>(input_.take(data, count));
    }
    int write(const unsigned char*, size_t length, int) override {
        ++writes;
        return static_cast<int>(length);
    }

    int writes = 0;

  private:
    uint16_t vid_;
    uint16_t pid_;
    size_t reportSize_;
    size_t outputLength_;
    ByteStream& input_;
};

// Registers a fuzzed device with hidport for the length of one run.
class RegisteredDevice {
  public:
    explicit RegisteredDevice(std::shared_ptr<FuzzedHidDevice> device) : device_(device) {
        hidport::setBackend(hidport::Backend::Simulated);
        hidport::clearSimulatedDevices();
        hidport::addSimulatedDevice(device_);
    }
    ~RegisteredDevice() { hidport::clearSimulatedDevices(); }
    FuzzedHidDevice& operator*() { return *device_; }

  private:
    std::shared_ptr<FuzzedHidDevice> device_;
};

// Thrown by a fuzzed byte line that has nothing left to give: the serial
// framing polls a silent line against the wall clock, which a fuzzer must
// not wait for, so the end of the input ends the run instead.
struct LineExhausted {};

// A serial line whose incoming bytes are the fuzzer's; what the host writes
// is counted and dropped.
class FuzzedLine : public bootloader::Peripheral {
  public:
    explicit FuzzedLine(ByteStream& input) : input_(input) {}
    bootloader::status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                              uint32_t) override {
        if (input_.remaining() == 0) throw LineExhausted{};
        const size_t got = input_.take(buffer, requested);
        if (actual) *actual = static_cast<uint32_t>(got);
        return got == requested ? bootloader::kStatus_Success : bootloader::kStatus_Timeout;
    }
    bootloader::status_t write(const uint8_t*, uint32_t byteCount) override {
        written += byteCount;
        return bootloader::kStatus_Success;
    }
    size_t written = 0;

  private:
    ByteStream& input_;
};

// A command for a fuzzed device to answer, chosen by two bytes of the input:
// every kind whose response the host parses, with an argument from the
// second byte. Data the host would write to a file goes to /dev/null.
inline std::vector<std::string> pickCommand(ByteStream& input) {
    const int kind = input.take() % 14;
    const uint8_t arg = input.take();
    auto number = [&](uint32_t limit) { return std::to_string(arg % (limit + 1)); };
    switch (kind) {
        case 0:
            return {"get-property", number(30), std::to_string(arg >> 7)};
        case 1:
            return {"read-memory", "0x0", std::to_string(arg * 2), "/dev/null"};
        case 2:
            return {"write-memory", "0xa000",
                    "{{00112233445566778899aabbccddeeff0011223344556677"
                    "8899aabbccddeeff0011223344}}"};
        case 3:
            return {"flash-erase-region", "0xa000", "0x76000"};
        case 4:
            return {"reset"};
        case 5:
            return {"flash-read-once", number(8), arg & 0x80 ? "8" : "4"};
        case 6:
            return {"flash-read-resource", "0", std::to_string(arg * 2), "0", "/dev/null"};
        case 7:
            return {"fill-memory", "0x20000000", number(64), "0x55", "byte"};
        case 8:
            return {"execute", "0x1000", "0", "0x20001000"};
        case 9:
            return {"call", "0x1000", "0"};
        case 10:
            return {"set-property", number(30), "1"};
        case 11:
            return {"flash-security-disable", "0123456789abcdef"};
        case 12:
            return {"flash-program-once", number(8), "4", "12345678"};
        default:
            return {"flash-erase-all"};
    }
}

}  // namespace fuzzing
