// A scripted HID device and a recording logger for the library's unit tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "bootloader/Logger.h"
#include "bootloader/UsbHidPacketizer.h"
#include "bootloader/UsbHidPeripheral.h"
#include "hidport/hidport.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// An input report: `bytes` as read, and the value the read returns (by
// default the byte count; -1 for a read error).
struct Input {
    Bytes bytes;
    int result;
};

// A 36-byte input report carrying `payload`; `lengthField` overrides the
// length it announces and `delivered` how many bytes the read hands over.
inline Input report(uint8_t id, const Bytes& payload, int lengthField = -1, int delivered = 36) {
    Bytes r(36, 0);
    r[0] = id;
    uint32_t length = lengthField < 0 ? static_cast<uint32_t>(payload.size()) : lengthField;
    r[2] = static_cast<uint8_t>(length);
    r[3] = static_cast<uint8_t>(length >> 8);
    for (size_t i = 0; i < payload.size() && i < 32; ++i) r[4 + i] = payload[i];
    r.resize(delivered);
    return {r, delivered};
}

inline void putWord(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline Bytes packet(uint8_t tag, std::vector<uint32_t> params, uint8_t flags = 0) {
    Bytes b = {tag, flags, 0, static_cast<uint8_t>(params.size())};
    for (uint32_t p : params) putWord(b, p);
    return b;
}

inline Input generic(uint32_t status, uint32_t commandTag) {
    return report(3, packet(0xA0, {status, commandTag}));
}

class FakeHid : public hidport::SimulatedHidDevice {
  public:
    uint16_t vendorId() const override { return 0x2B29; }
    uint16_t productId() const override { return 0x05; }
    size_t outputReportLength() const override { return 36; }
    bool open() override { return openable; }
    void close() override {}
    // An empty script reads as a timeout, at once.
    int read(unsigned char* data, size_t length, int) override {
        ++reads;
        if (inputs.empty()) return 0;
        Input in = inputs.front();
        inputs.pop_front();
        for (size_t i = 0; i < in.bytes.size() && i < length; ++i) data[i] = in.bytes[i];
        return in.result;
    }
    int write(const unsigned char* data, size_t length, int) override {
        writes.emplace_back(data, data + length);
        if (onWrite) onWrite(writes.back());
        return failWrites ? -1 : static_cast<int>(length);
    }

    bool openable = true;
    bool failWrites = false;
    int reads = 0;
    std::deque<Input> inputs;
    std::vector<Bytes> writes;
    std::function<void(const Bytes&)> onWrite;
};

// A fake device registered with the simulated backend, and a packetizer on it.
struct FakeLink {
    FakeLink() {
        hidport::addSimulatedDevice(device);
        packetizer = std::make_unique<bootloader::UsbHidPacketizer>(
            new bootloader::UsbHidPeripheral(0x2B29, 0x05, "000001"), 100);
    }
    hidport::ScopedContext hid{hidport::Backend::Simulated};
    std::shared_ptr<FakeHid> device = std::make_shared<FakeHid>();
    std::unique_ptr<bootloader::UsbHidPacketizer> packetizer;
};

}  // namespace testsupport
