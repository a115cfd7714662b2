// Sessions against the simulated bootloader target, through the whole stack:
// Command → UsbHidPacketizer → UsbHidPeripheral → hidport → the target.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "bootloader/Bootloader.h"
#include "bootloader/Command.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "sim/BootloaderTarget.h"

class SimSession : public ::testing::Test {
  protected:
    static constexpr uint16_t kVendor = 0x2B29;
    static constexpr uint16_t kType = 5;

    void SetUp() override {
        target = std::make_shared<sim::BootloaderTarget>(kVendor, kType, clock);
        hidport::addSimulatedDevice(target);
    }

    bootloader::PeripheralConfig config() const {
        bootloader::PeripheralConfig c;
        c.vendorId = kVendor;
        c.productId = kType;
        c.packetTimeoutMs = 5000;  // 50 ms of real time on the scaled clock
        return c;
    }

    // One session as the updater runs it: open, inject, flush, close.
    std::unique_ptr<bootloader::Command> run(const std::vector<std::string>& args) {
        auto command = bootloader::Command::create(args);
        EXPECT_TRUE(command) << args[0];
        if (!command) return command;
        bootloader::Bootloader session(config());
        session.inject(*command);
        session.flush();
        return command;
    }

    uint32_t status(const std::unique_ptr<bootloader::Command>& c) const {
        return c->getResponseValues().empty() ? 0xFFFFFFFF : c->getResponseValues()[0];
    }

    // Every wait of the target and every host timeout runs a hundred times
    // faster than real time.
    platform::ScaledClock clock{0.01};
    hidport::ScopedContext hid{hidport::Backend::Simulated};  // after the clock its devices use
    std::shared_ptr<sim::BootloaderTarget> target;
    testsupport::RecordingLogger logger{4};
};

// Pseudo-random bytes and their hex text between double braces.
inline std::vector<uint8_t> imageBytes(size_t n, uint32_t seed = 12345) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

inline std::string hexText(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "{{";
    s.reserve(bytes.size() * 2 + 4);
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s + "}}";
}
