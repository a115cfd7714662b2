// Sessions against the simulated serial target and bus bridge, over real
// pseudo-terminals.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SerialTestSupport.h"
#include "bootloader/Bootloader.h"
#include "bootloader/Command.h"

namespace serialtest {

// An image of `size` random bytes and its hex text for write-memory.
struct Image {
    explicit Image(size_t size, uint32_t seed = 7) : bytes(size) {
        std::mt19937 random(seed);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        static const char digits[] = "0123456789abcdef";
        hex = "{{";
        for (uint8_t b : bytes) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        hex += "}}";
    }
    Bytes bytes;
    std::string hex;
};

// The largest firmware image the updater writes, in bytes.
constexpr size_t kFullImageBytes = 285240;

inline bootloader::PeripheralConfig uartConfig(const std::string& path, int baud = 115200,
                                               uint32_t timeoutMs = 1000) {
    bootloader::PeripheralConfig config;
    config.peripheralKind = bootloader::kPeripheralKind_Uart;
    config.portName = path;
    config.baudRate = baud;
    config.packetTimeoutMs = timeoutMs;
    return config;
}

// Runs one command line in the session; the command with its results.
inline std::unique_ptr<bootloader::Command> run(bootloader::Bootloader& session,
                                                const std::vector<std::string>& args) {
    auto command = bootloader::Command::create(args);
    EXPECT_TRUE(command) << args.at(0);
    if (command) session.inject(*command);
    return command;
}

inline uint32_t status(const bootloader::Command& command) {
    const auto& values = command.getResponseValues();
    return values.empty() ? 0xFFFFFFFFu : values[0];
}

inline std::string hexArg(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// A file path under the test's temporary folder, of this process alone
// (ctest runs the cases side by side), removed afterwards.
struct TempFile {
    explicit TempFile(const std::string& name)
        : path(::testing::TempDir() + "quorta-serial-" + std::to_string(::getpid()) + "-" + name) {}
    ~TempFile() { std::remove(path.c_str()); }
    Bytes read() const {
        Bytes bytes;
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            int c;
            while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
            std::fclose(f);
        }
        return bytes;
    }
    std::string path;
};

}  // namespace serialtest
