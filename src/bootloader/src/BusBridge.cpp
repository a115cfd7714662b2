#include "bootloader/BusBridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "SerialIo.h"
#include "bootloader/Logger.h"

namespace bootloader {

namespace {

enum : uint8_t {
    kCmdBitBang = 0x00,
    kCmdEnterSpi = 0x01,
    kCmdEnterI2c = 0x02,
    kCmdBusWriteCan = 0x03,
    kCmdBusWriteSpi = 0x04,
    kCmdEnterCan = 0x07,
    kCmdBusWriteI2c = 0x08,
    kCmdHardReset = 0x0F,
    kCmdFpgaClock = 0x20,
    kCmdCanRxid = 0x20,
    kCmdCanTxid = 0x30,
    kCmdCanSpeed = 0x40,
    kCmdGpioConfigure = 0x40,
    kCmdSetSpeed = 0x60,  // SPI and I2C
    kCmdI2cAddress = 0x70,
    kCmdSpiConfig = 0x80,
    kCmdGpioSet = 0x80,
};

constexpr uint8_t kAnswerOk = 0x01;
// Bounds on reading out a babbling adapter: it must not hold the host.
constexpr int kMaxDumpBytes = 4096;
constexpr int kMaxDrainChunks = 1000;
constexpr uint32_t kDrainChunk = 100;
constexpr uint32_t kDrainWaitMs = 10;
constexpr uint32_t kWriteTimeoutMs = 2000;

void putWord(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

BusBridge::BusBridge(int portHandle) : port_(portHandle) {}

// --- The port -----------------------------------------------------------------

int BusBridge::portRead(uint8_t* buffer, uint32_t count, Exchange exchange) {
    int n = 0;
    for (int attempt = 0; attempt < 2 && n <= 0; ++attempt) {
        n = serialio::readFor(port_, buffer, count, serialio::readTimeoutMs(count));
        const uint32_t got = n > 0 ? static_cast<uint32_t>(n) : 0;
        if (exchange == Exchange::Command) {
            serialio::trace("+", buffer, got, "+\n");
        } else {
            serialio::trace("<", buffer, got, ">\n");
        }
    }
    return n > 0 ? n : 0;
}

bool BusBridge::portWrite(const uint8_t* buffer, uint32_t count, Exchange exchange) {
    if (exchange == Exchange::Command) {
        serialio::trace("-", buffer, count, "-\n");
    } else {
        serialio::trace("[", buffer, count, "]\n");
    }
    return serialio::writeFor(port_, buffer, count, kWriteTimeoutMs + count) ==
           static_cast<int>(count);
}

const uint8_t* BusBridge::readBytes(uint32_t count) {
    count = std::min(count, kBufferSize);
    uint32_t got = 0;
    while (got < count) {
        int n = portRead(receiveBuffer_ + got, count - got, Exchange::Bus);
        if (n <= 0) return nullptr;
        got += static_cast<uint32_t>(n);
    }
    return receiveBuffer_;
}

void BusBridge::drain() {
    logInfo("Flushing data...\n");
    uint8_t chunk[kDrainChunk];
    for (int i = 0; i < kMaxDrainChunks; ++i) {
        int n = serialio::readFor(port_, chunk, kDrainChunk, kDrainWaitMs);
        if (n <= 0) break;
        logInfo("Flushed %d bytes\n", n);
    }
    logInfo("Done flushing.\n");
}

// --- Command exchanges ------------------------------------------------------

uint8_t BusBridge::writeCommand(const uint8_t* bytes, uint32_t count) {
    if (!portWrite(bytes, count, Exchange::Command)) return 0;
    uint8_t answer = 0;
    if (portRead(&answer, 1, Exchange::Command) != 1) return 0;
    return answer;
}

uint8_t BusBridge::writeCommand(uint8_t command) {
    return writeCommand(&command, 1);
}

bool BusBridge::writeCommandExpect(uint8_t command, const char* expected) {
    if (!portWrite(&command, 1, Exchange::Command)) return false;
    const uint32_t length = static_cast<uint32_t>(std::strlen(expected));
    uint8_t answer[16] = {};
    uint32_t got = 0;
    while (got < length && got < sizeof answer) {
        int n = portRead(answer + got, length - got, Exchange::Command);
        if (n <= 0) break;
        got += static_cast<uint32_t>(n);
    }
    return got == length && std::memcmp(answer, expected, length) == 0;
}

bool BusBridge::setWord(uint8_t command, uint32_t value, const char* badResponse) {
    uint8_t bytes[5] = {command};
    putWord(bytes + 1, value);
    uint8_t answer = writeCommand(bytes, sizeof bytes);
    if (answer == kAnswerOk) return true;
    logError(badResponse, answer);
    return false;
}

// --- Modes and settings -------------------------------------------------------

bool BusBridge::enterBitBangModeRaw() {
    if (!writeCommandExpect(kCmdBitBang, "BBIO1")) return false;
    mode_ = kModeNone;
    return true;
}

bool BusBridge::hardReset() {
    if (writeCommand(kCmdHardReset) != kAnswerOk) {
        logError("Error: bad response from hard reset\n");
        return false;
    }
    mode_ = kModeNone;
    return true;
}

bool BusBridge::enterBitBangMode() {
    logInfo("Entering bit bang mode...\n");
    if (enterBitBangModeRaw()) {
        logInfo("Entered BB mode\n");
        return true;
    }
    logError("Error: enter bit bang mode failed\n");
    logError("Dumping any remaining data...\n");
    uint8_t byte;
    for (int i = 0; i < kMaxDumpBytes; ++i) {
        if (serialio::readFor(port_, &byte, 1, serialio::readTimeoutMs(1)) != 1) break;
    }
    return false;
}

bool BusBridge::enterSpiMode() {
    if (!writeCommandExpect(kCmdEnterSpi, "SPI1")) return false;
    mode_ = kModeSpi;
    return true;
}

bool BusBridge::enterI2cMode() {
    if (!writeCommandExpect(kCmdEnterI2c, "I2C1")) return false;
    mode_ = kModeI2c;
    return true;
}

bool BusBridge::enterCanMode() {
    if (!writeCommandExpect(kCmdEnterCan, "CAN1")) return false;
    mode_ = kModeCan;
    return true;
}

bool BusBridge::gpioConfigure(char port, uint8_t pin, uint8_t mux) {
    const uint8_t bytes[4] = {kCmdGpioConfigure, static_cast<uint8_t>(port), pin, mux};
    uint8_t answer = writeCommand(bytes, sizeof bytes);
    if (answer == kAnswerOk) return true;
    logError("Error: bad response to Gpio Set, response byte = 0x%x\n", answer);
    return false;
}

bool BusBridge::gpioSet(char port, uint8_t pin, uint8_t level) {
    const uint8_t bytes[4] = {kCmdGpioSet, static_cast<uint8_t>(port), pin, level};
    uint8_t answer = writeCommand(bytes, sizeof bytes);
    if (answer == kAnswerOk) return true;
    logError("Error: bad response to Gpio Set, response byte = 0x%x\n", answer);
    return false;
}

bool BusBridge::setFpgaClock(uint32_t mhz) {
    return setWord(kCmdFpgaClock, mhz,
                   "Error: bad response to FPGA Set Clock, response byte = 0x%x\n");
}

bool BusBridge::setSpiSpeed(uint32_t kHz) {
    return setWord(kCmdSetSpeed, kHz,
                   "Error: bad response to Spi Set Speed, response byte = 0x%x\n");
}

bool BusBridge::setSpiConfig(uint32_t polarity, uint32_t phase, uint32_t direction) {
    const uint8_t config = static_cast<uint8_t>(kCmdSpiConfig | (polarity & 1) << 2 |
                                                (phase & 1) << 1 | (direction & 1));
    if (writeCommand(config) == kAnswerOk) return true;
    logError("Error: bad response from Set Spi Config\n");
    return false;
}

bool BusBridge::setI2cAddress(uint8_t address) {
    const uint8_t bytes[2] = {kCmdI2cAddress, address};
    uint8_t answer = writeCommand(bytes, sizeof bytes);
    if (answer == kAnswerOk) return true;
    logError("Error: bad response to Set I2c Address, response byte = 0x%x\n", answer);
    return false;
}

bool BusBridge::setI2cSpeed(uint32_t kHz) {
    return setWord(kCmdSetSpeed, kHz,
                   "Error: bad response to I2c Set Speed, response byte = 0x%x\n");
}

bool BusBridge::setCanSpeed(uint32_t speed) {
    return setWord(kCmdCanSpeed, speed,
                   "Error: bad response to Can Set Speed, response byte = 0x%x\n");
}

bool BusBridge::setCanTxid(uint32_t id) {
    return setWord(kCmdCanTxid, id, "Error: bad response to Can Set Txid, response byte = 0x%x\n");
}

bool BusBridge::setCanRxid(uint32_t id) {
    return setWord(kCmdCanRxid, id, "Error: bad response to Can Set Rxid, response byte = 0x%x\n");
}

// --- Bus transfers ------------------------------------------------------------

bool BusBridge::transferWrite(uint8_t opcode, const uint8_t* data, uint32_t count, int answerReads,
                              const char* commandFailed, const char* badResponse) {
    count = std::min(count, kBufferSize);
    const uint8_t header[5] = {opcode, static_cast<uint8_t>(count),
                               static_cast<uint8_t>(count >> 8), 0, 0};
    if (!portWrite(header, sizeof header, Exchange::Bus) ||
        (count && !portWrite(data, count, Exchange::Bus))) {
        logError("%s", commandFailed);
        return false;
    }
    if (mode_ == kModeSpi || mode_ == kModeCan) bytesWritten_ += count;
    uint8_t answer = 0;
    int got = 0;
    for (int i = 0; i < answerReads && got != 1; ++i) got = portRead(&answer, 1, Exchange::Bus);
    if (got == 1 && answer == kAnswerOk) return true;
    logError(badResponse, answer);
    return false;
}

uint32_t BusBridge::transferRead(uint8_t opcode, uint8_t* data, uint32_t count,
                                 const char* commandFailed, const char* badResponse) {
    count = std::min(count, kBufferSize);
    const uint8_t header[5] = {opcode, 0, 0, static_cast<uint8_t>(count),
                               static_cast<uint8_t>(count >> 8)};
    if (!portWrite(header, sizeof header, Exchange::Bus)) {
        logError("%s", commandFailed);
        return 0;
    }
    uint8_t answer = 0;
    if (portRead(&answer, 1, Exchange::Bus) != 1 || answer != kAnswerOk) {
        logError(badResponse, answer);
        return 0;
    }
    if (count == 0) return 0;
    const uint8_t* bytes = readBytes(count);
    if (!bytes) return 0;
    std::memcpy(data, bytes, count);
    return count;
}

bool BusBridge::spiWrite(const uint8_t* data, uint32_t count) {
    return transferWrite(kCmdBusWriteSpi, data, count, 1,
                         "Error: Bus bridge spi write command failed\n",
                         "Error: bad response to spi write, response byte = 0x%x\n");
}

bool BusBridge::i2cWrite(const uint8_t* data, uint32_t count) {
    return transferWrite(kCmdBusWriteI2c, data, count, 1,
                         "Error: Bus bridge i2c write command failed\n",
                         "Error: bad response to i2c write, response byte = 0x%x\n");
}

bool BusBridge::canWrite(const uint8_t* data, uint32_t count) {
    // A CAN frame may take a while to be acknowledged on the bus.
    return transferWrite(kCmdBusWriteCan, data, count, 2,
                         "Error: Bus bridge can write command failed\n",
                         "Error: bad response to can write, response byte = 0x%x\n");
}

uint32_t BusBridge::spiRead(uint8_t* data, uint32_t count) {
    return transferRead(kCmdBusWriteSpi, data, count, "Error: Bus bridge read spi command failed\n",
                        "Error: bad response to spi read, response byte 0 = 0x%x\n");
}

uint32_t BusBridge::canRead(uint8_t* data, uint32_t count) {
    if (canReadDelayMs_) {
        // The first answer needs time to come round the CAN bus.
        std::this_thread::sleep_for(std::chrono::milliseconds(canReadDelayMs_));
        canReadDelayMs_ = 0;
    }
    return transferRead(kCmdBusWriteCan, data, count, "Error: Bus bridge read can command failed\n",
                        "Error: bad response to can read, response byte 0 = 0x%x\n");
}

uint32_t BusBridge::i2cRead(uint8_t* data, uint32_t count) {
    const char* failed = "Error: Bus bridge i2c read command failed\n";
    const char* bad = "Error: bad response to i2c read, response byte 0 = 0x%x\n";
    uint32_t n = transferRead(kCmdBusWriteI2c, data, count, failed, bad);
    if (n == 0 && count > 0) {
        logInfo("Initial read on I2C failed, trying again...\n");
        n = transferRead(kCmdBusWriteI2c, data, count, failed, bad);
    }
    return n;
}

bool BusBridge::busWrite(const uint8_t* data, uint32_t count) {
    switch (mode_) {
        case kModeSpi:
            return spiWrite(data, count);
        case kModeI2c:
            return i2cWrite(data, count);
        case kModeCan:
            return canWrite(data, count);
        case kModeNone:
            break;
    }
    logError("Error: Bus bridge is in no bus mode; nothing written\n");
    return false;
}

uint32_t BusBridge::busRead(uint8_t* data, uint32_t count) {
    switch (mode_) {
        case kModeSpi:
            return spiRead(data, count);
        case kModeI2c:
            return i2cRead(data, count);
        case kModeCan:
            return canRead(data, count);
        case kModeNone:
            break;
    }
    logError("Error: Bus bridge is in no bus mode; nothing read\n");
    return 0;
}

}  // namespace bootloader
