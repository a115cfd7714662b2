// Helpers for the serial transport tests: a recording logger, a scripted
// in-memory line for the packetizer's unit tests, and small frame builders.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../bootloader/RecordingLogger.h"
#include "bootloader/Logger.h"
#include "bootloader/Peripheral.h"
#include "crc/crc16.h"

namespace serialtest {

using Bytes = std::vector<uint8_t>;

// The serial tests record up to level 6.
class RecordingLogger : public testsupport::RecordingLogger {
  public:
    explicit RecordingLogger(int filter = 6) : testsupport::RecordingLogger(filter) {}
};

// A command or data frame as a target sends it.
inline Bytes frame(uint8_t type, const Bytes& payload) {
    Bytes f = {
        0x5A, type, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8),
        0,    0};
    f.insert(f.end(), payload.begin(), payload.end());
    crc::Crc16 ctx;
    crc::crc16Init(ctx);
    crc::crc16Update(ctx, f.data(), 4);
    crc::crc16Update(ctx, payload.data(), payload.size());
    const uint16_t crc = crc::crc16Finalize(ctx);
    f[4] = static_cast<uint8_t>(crc);
    f[5] = static_cast<uint8_t>(crc >> 8);
    return f;
}

inline Bytes genericResponse(uint32_t status, uint8_t commandTag) {
    Bytes p = {0xA0, 0, 0, 2};
    for (uint32_t v : {status, static_cast<uint32_t>(commandTag)}) {
        for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return p;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A line in memory: reads take what the script holds (status 5 when it
// holds fewer bytes than asked), writes are recorded; `onWrite` may add
// input in answer to a write.
class ScriptedLine : public bootloader::Peripheral {
  public:
    bootloader::status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                              uint32_t) override {
        uint32_t n = 0;
        while (n < requested && !input.empty()) {
            buffer[n++] = input.front();
            input.pop_front();
        }
        if (actual) *actual = n;
        ++reads;
        return n < requested ? bootloader::kStatus_Timeout : bootloader::kStatus_Success;
    }
    bootloader::status_t write(const uint8_t* buffer, uint32_t count) override {
        writes.emplace_back(buffer, buffer + count);
        if (onWrite) onWrite(writes.back());
        return failWrites ? bootloader::kStatus_Fail : bootloader::kStatus_Success;
    }
    void add(const Bytes& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
    Bytes written() const {
        Bytes all;
        for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
        return all;
    }

    std::deque<uint8_t> input;
    std::vector<Bytes> writes;
    std::function<void(const Bytes&)> onWrite;
    bool failWrites = false;
    int reads = 0;
};

// Waits (bounded) until `done` holds; false when it never did.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace serialtest
