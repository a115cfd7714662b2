// A HID device for the link's unit tests: it records every report written to
// it and hands out a scripted list of input reports, one per read (an empty
// entry is a read that timed out). Once the script is used up it is silent.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/CommandLink.h"
#include "hidport/hidport.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// An input report holding `frame`, padded with 0xFF.
inline Bytes inputReport(const Bytes& frame) {
    Bytes r(64, 0xFF);
    std::copy_n(frame.begin(), std::min<size_t>(frame.size(), 64), r.begin());
    return r;
}

// A well-formed reply report for a payload.
inline Bytes replyReport(const Bytes& payload) {
    return inputReport(core::encodeLinkFrame(payload));
}

// A reply whose CRC does not match, framed and escaped like a good one.
inline Bytes badCrcReport(const Bytes& payload) {
    uint16_t crc = core::linkCrc16(payload.data(), payload.size()) ^ 0x5A5A;
    Bytes body = payload;
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes frame{core::SOH};
    for (uint8_t b : body) {
        if (b == core::SOH || b == core::EOT || b == core::DLE) frame.push_back(core::DLE);
        frame.push_back(b);
    }
    frame.push_back(core::EOT);
    return inputReport(frame);
}

inline Bytes deviceTextReport(const std::string& text) {
    Bytes payload(text.size() + 2, 0);  // code, text, NUL
    payload[0] = core::DEVICE_TEXT;
    std::copy(text.begin(), text.end(), payload.begin() + 1);
    return replyReport(payload);
}

class ScriptedLinkDevice : public hidport::SimulatedHidDevice {
  public:
    uint16_t vendorId() const override { return 0x2B29; }
    uint16_t productId() const override { return 0x55; }
    size_t outputReportLength() const override { return 65; }

    bool open() override {
        std::lock_guard lock(mutex);
        ++opens;
        return !refuseOpen;
    }
    void close() override {
        std::lock_guard lock(mutex);
        ++closes;
    }
    int read(unsigned char* data, size_t length, int) override {
        std::lock_guard lock(mutex);
        ++reads;
        if (throwOnRead) throw std::runtime_error("transport broke");
        if (script.empty()) return 0;
        Bytes next = script.front();
        script.pop_front();
        size_t n = std::min(length, next.size());
        std::copy_n(next.begin(), n, data);
        return static_cast<int>(n);
    }
    int write(const unsigned char* data, size_t length, int) override {
        std::lock_guard lock(mutex);
        written.emplace_back(data, data + length);
        return static_cast<int>(length);
    }

    std::mutex mutex;
    std::deque<Bytes> script;
    std::vector<Bytes> written;
    bool refuseOpen = false;
    bool throwOnRead = false;
    int opens = 0;
    int closes = 0;
    int reads = 0;
};

// Registers a fresh scripted device with hidport.
inline std::shared_ptr<ScriptedLinkDevice> attachScriptedDevice() {
    auto device = std::make_shared<ScriptedLinkDevice>();
    hidport::addSimulatedDevice(device);
    return device;
}

}  // namespace testing_support
