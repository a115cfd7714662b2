// A host that speaks to the simulated bootloader target in raw 36-byte reports
// through hidport, as the real USB link would carry them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "sim/BootloaderTarget.h"

namespace simtest {

using namespace sim::protocol;

constexpr uint16_t kVendor = 0x2B29;
constexpr uint16_t kProduct = 0x4B;

// One report as the host read it.
struct InReport {
    int n = 0;  // what hid_read_timeout returned
    std::vector<uint8_t> bytes;

    uint8_t id() const { return bytes.at(0); }
    uint32_t length() const { return bytes.at(2) | bytes.at(3) << 8; }
    uint8_t tag() const { return bytes.at(4); }
    uint8_t flags() const { return bytes.at(5); }
    uint8_t paramCount() const { return bytes.at(7); }
    uint32_t param(size_t i) const {
        const size_t at = 8 + 4 * i;
        return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 |
               static_cast<uint32_t>(bytes.at(at + 3)) << 24;
    }
    std::vector<uint8_t> payload() const {
        return std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 4 + length());
    }
};

class TargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        target = std::make_shared<sim::BootloaderTarget>(kVendor, kProduct, clock);
        hidport::addSimulatedDevice(target);
        dev = hidport::hid_open(kVendor, kProduct, nullptr);
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override {
        if (dev) hidport::hid_close(dev);
    }

    int writeReport(uint8_t reportId, const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> report(sim::BootloaderTarget::kReportLength, 0);
        report[0] = reportId;
        report[2] = static_cast<uint8_t>(packet.size());
        report[3] = static_cast<uint8_t>(packet.size() >> 8);
        std::copy(packet.begin(), packet.end(), report.begin() + 4);
        return hidport::hid_write_timeout(dev, report.data(), report.size(), 1000);
    }
    static std::vector<uint8_t> commandPacket(uint8_t tag, const std::vector<uint32_t>& params,
                                              uint8_t flags = 0) {
        std::vector<uint8_t> p{tag, flags, 0, static_cast<uint8_t>(params.size())};
        for (uint32_t v : params) {
            for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
        return p;
    }
    int command(uint8_t tag, const std::vector<uint32_t>& params, uint8_t flags = 0) {
        return writeReport(kReportId_CommandOut, commandPacket(tag, params, flags));
    }
    // Sends the bytes as data packets of at most 32.
    void sendData(const std::vector<uint8_t>& data) {
        for (size_t at = 0; at < data.size(); at += 32) {
            size_t n = std::min<size_t>(32, data.size() - at);
            ASSERT_EQ(writeReport(kReportId_DataOut,
                                  std::vector<uint8_t>(data.begin() + at, data.begin() + at + n)),
                      36);
        }
    }
    // A write-memory command the target accepts, then its data.
    void writeMemory(uint32_t address, const std::vector<uint8_t>& data) {
        command(kCommandTag_WriteMemory, {address, static_cast<uint32_t>(data.size())},
                kCommandFlag_HasDataPhase);
        EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
        sendData(data);
    }
    InReport readReport(int ms = 1000) {
        InReport r;
        r.bytes.assign(64, 0);
        r.n = hidport::hid_read_timeout(dev, r.bytes.data(), r.bytes.size(), ms);
        return r;
    }
    // Reads a generic response and returns its status, checking what it answers.
    uint32_t genericStatus(uint8_t answering) {
        InReport r = readReport();
        EXPECT_EQ(r.n, 36);
        EXPECT_EQ(r.id(), kReportId_CommandIn);
        EXPECT_EQ(r.tag(), kCommandTag_GenericResponse);
        EXPECT_EQ(r.param(1), answering);
        return r.param(0);
    }
    // Reads `count` bytes of data-in packets.
    std::vector<uint8_t> readData(uint32_t count) {
        std::vector<uint8_t> data;
        while (data.size() < count) {
            InReport r = readReport();
            EXPECT_EQ(r.id(), kReportId_DataIn);
            if (r.n <= 0 || r.length() == 0) break;
            auto p = r.payload();
            data.insert(data.end(), p.begin(), p.end());
        }
        return data;
    }
    static std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
        return v;
    }

    // Waits are a hundredth of their length, so timeouts cost little.
    platform::ScaledClock clock{0.01};
    hidport::ScopedContext hid{hidport::Backend::Simulated};  // after the clock its devices use
    std::shared_ptr<sim::BootloaderTarget> target;
    hidport::hid_device* dev = nullptr;
};

}  // namespace simtest
