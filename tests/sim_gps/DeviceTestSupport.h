// The device's side of the simulated GPS, at the protocol level: a simulated
// machine whose events are recorded, and a host that speaks raw link frames
// and bootloader reports through hidport. Nothing of the updater is used.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "sim/LinkFrames.h"
#include "sim/SimulatedFirmware.h"
#include "sim/SimulatedMachine.h"

namespace device_test {

using platform::DeviceEvent;
using Events = std::vector<DeviceEvent>;

// Long enough for anything the device does, short in real time: the clock
// runs a hundred times faster (slow enough that a loaded machine does not
// turn the device's short delays into missed answers).
inline constexpr int64_t kPatience = 3'600'000;

inline constexpr uint16_t kGpsVid = 0x2B29;
inline constexpr uint16_t kAppPid = 0x55;
inline constexpr uint16_t kRomVid = 0x15A2;
inline constexpr uint16_t kRomPid = 0x73;

// Command-link opcodes.
inline constexpr uint8_t READ_DEVICE_INFO = 6;
inline constexpr uint8_t NORDIC_ERASE_KEYS = 7;
inline constexpr uint8_t JUMP_TO_BL = 9;
inline constexpr uint8_t FACTORY_RESET = 13;
inline constexpr uint8_t UPDATE_NORDIC = 14;
inline constexpr uint8_t NRF_GET_VERSION = 58;
inline constexpr uint8_t KANJI_PROGRAM_FLASH = 64;

// The application's command link on one handle.
class LinkHost {
  public:
    LinkHost() : handle_(hidport::hid_open(kGpsVid, kAppPid, nullptr)) {}
    ~LinkHost() { close(); }
    LinkHost(const LinkHost&) = delete;
    LinkHost& operator=(const LinkHost&) = delete;

    bool isOpen() const { return handle_ != nullptr; }
    void close() {
        if (handle_) hidport::hid_close(handle_);
        handle_ = nullptr;
    }
    int send(const sim::OutputReport& report) {
        return hidport::hid_write_timeout(handle_, report.data(), report.size(), -1);
    }
    int send(uint8_t opcode) { return send(sim::commandReport(opcode)); }
    // One raw input report; its byte count (0 timeout, -1 error) in `result`.
    sim::InputReport read(int timeoutMs, int* result = nullptr) {
        sim::InputReport report{};
        const int n = hidport::hid_read_timeout(handle_, report.data(), report.size(), timeoutMs);
        if (result) *result = n;
        return report;
    }
    // The text of a DEVICE_TEXT reply, or none.
    static std::optional<std::string> text(const sim::InputReport& report) {
        auto payload = sim::decodeReplyReport(report);
        if (!payload || payload->empty() || (*payload)[0] != 0x0A) return std::nullopt;
        std::string t(payload->begin() + 1, payload->end());
        return t.substr(0, t.find('\0'));
    }

  private:
    hidport::hid_device* handle_;
};

// A bootloader (flash or ROM) on one handle, in 36-byte reports.
class BootloaderHost {
  public:
    BootloaderHost(uint16_t vid, uint16_t pid) : handle_(hidport::hid_open(vid, pid, nullptr)) {}
    ~BootloaderHost() {
        if (handle_) hidport::hid_close(handle_);
    }
    BootloaderHost(const BootloaderHost&) = delete;
    BootloaderHost& operator=(const BootloaderHost&) = delete;

    bool isOpen() const { return handle_ != nullptr; }

    // Sends a command; -1 when the device did not take it.
    int command(uint8_t tag, std::vector<uint32_t> params) {
        std::array<uint8_t, 36> report{};
        report[0] = 1;
        const size_t length = 4 + 4 * params.size();
        report[2] = static_cast<uint8_t>(length);
        report[4] = tag;
        report[7] = static_cast<uint8_t>(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            for (int b = 0; b < 4; ++b) report[8 + 4 * i + b] = uint8_t(params[i] >> (8 * b));
        }
        return hidport::hid_write_timeout(handle_, report.data(), report.size(), 1000);
    }
    // The status of the next generic response; none when nothing came.
    std::optional<int32_t> status(int timeoutMs = 60000) {
        for (;;) {
            std::array<uint8_t, 36> report{};
            const int n =
                hidport::hid_read_timeout(handle_, report.data(), report.size(), timeoutMs);
            if (n <= 0) return std::nullopt;
            if (report[0] != 3 || report[2] == 0) continue;  // an abort notice, say
            if (report[4] != 0xA0) continue;
            return static_cast<int32_t>(report[8] | report[9] << 8 | report[10] << 16 |
                                        uint32_t(report[11]) << 24);
        }
    }
    // Sends the bytes as data packets; how many packets the device took.
    size_t data(const std::vector<uint8_t>& bytes, size_t offset, size_t count) {
        size_t packets = 0;
        for (size_t at = offset; at < offset + count; at += 32) {
            std::array<uint8_t, 36> report{};
            const size_t n = std::min<size_t>(32, offset + count - at);
            report[0] = 2;
            report[2] = static_cast<uint8_t>(n);
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, report.begin() + 4);
            if (hidport::hid_write_timeout(handle_, report.data(), report.size(), 1000) <= 0) break;
            ++packets;
        }
        return packets;
    }

    std::optional<int32_t> erase(uint32_t address, uint32_t length) {
        if (command(2, {address, length}) < 0) return std::nullopt;
        return status();
    }
    // write-memory of bytes[offset, offset + count) to `address`; the final status.
    std::optional<int32_t> write(uint32_t address, const std::vector<uint8_t>& bytes, size_t offset,
                                 size_t count) {
        if (command(4, {address, static_cast<uint32_t>(count)}) < 0) return std::nullopt;
        std::optional<int32_t> first = status();
        if (!first || *first != 0) return first;
        data(bytes, offset, count);
        return status();
    }
    std::optional<int32_t> write(uint32_t address, const std::vector<uint8_t>& bytes) {
        return write(address, bytes, 0, bytes.size());
    }
    std::optional<int32_t> reset() {
        if (command(11, {}) < 0) return std::nullopt;
        return status();
    }

  private:
    hidport::hid_device* handle_;
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = std::make_unique<sim::SimulatedMachine>(&clock);
        machine->deviceEvents().start([this](DeviceEvent e) {
            std::lock_guard lock(eventsMutex);
            events_.push_back(e);
        });
    }
    void TearDown() override { machine.reset(); }

    sim::SimulatedGps& addGps(sim::GpsConfig config = {}) {
        return machine->addGps(std::move(config));
    }
    // A GPS plugged in and running, its first events already taken.
    sim::SimulatedGps& runningGps(sim::GpsConfig config = {}) {
        sim::SimulatedGps& gps = addGps(std::move(config));
        gps.plugIn();
        takeEvents(gps);
        return gps;
    }

    // The events raised since the last call, once the GPS has settled.
    Events takeEvents(sim::SimulatedGps& gps) {
        EXPECT_TRUE(gps.waitUntilSettled(kPatience));
        EXPECT_TRUE(machine->deviceEvents().waitDelivered(std::chrono::seconds(10)));
        std::lock_guard lock(eventsMutex);
        Events taken;
        taken.swap(events_);
        return taken;
    }

    // A firmware image for the GPS's type.
    static std::vector<uint8_t> image(int type, bool japanese, int major, int minor,
                                      size_t length = 64 * 1024) {
        return sim::makeFirmwareImage({type, japanese ? 60 : 0, major, minor}, length);
    }

    static void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    static std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
        return bytes;
    }

    bool sawActivity(const sim::SimulatedGps& gps, const std::string& line) {
        for (const std::string& a : gps.activity())
            if (a == line) return true;
        return false;
    }

    platform::ScaledClock clock{0.01};
    hidport::ScopedContext hid{hidport::Backend::Simulated};  // after the clock its devices use
    std::unique_ptr<sim::SimulatedMachine> machine;

  private:
    std::mutex eventsMutex;
    Events events_;
};

}  // namespace device_test
