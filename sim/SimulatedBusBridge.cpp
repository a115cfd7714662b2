#include "sim/SimulatedBusBridge.h"

#include <cstring>

namespace sim {

namespace {

uint32_t get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

SimulatedBusBridge::SimulatedBusBridge(platform::Clock& clock) : engine_(clock) {
    start();
}

SimulatedBusBridge::~SimulatedBusBridge() {
    stop();
}

void SimulatedBusBridge::setFaults(const BusBridgeFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    seen_.clear();
}

bool SimulatedBusBridge::fails(BridgeCommand command) {
    const int seen = seen_[command]++;
    return faults_.failing.count(command) != 0 && seen >= faults_.succeedFirst;
}

BusBridgeState SimulatedBusBridge::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void SimulatedBusBridge::onInput(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), data, data + length);
    size_t pos = 0;
    while (pos < input_.size()) {
        size_t used = process(input_.data() + pos, input_.size() - pos);
        if (used == 0) break;
        pos += used;
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void SimulatedBusBridge::answer(uint8_t byte) {
    if (!faults_.silent) send(&byte, 1);
}

void SimulatedBusBridge::answer(const std::vector<uint8_t>& bytes) {
    if (!faults_.silent) send(bytes);
}

size_t SimulatedBusBridge::modeEntry(BridgeCommand command, uint8_t byte, const char* text,
                                     BridgeMode mode) {
    state_.commands.push_back({byte});
    std::vector<uint8_t> reply(text, text + std::strlen(text));
    if (fails(command)) {
        reply.back() = '0';
    } else {
        state_.mode = mode;
        if (mode == BridgeMode::BitBang) ++state_.bitBangEntries;
    }
    answer(reply);
    return 1;
}

size_t SimulatedBusBridge::setting(BridgeCommand command, const uint8_t* c, size_t size,
                                   size_t left) {
    if (left < size) return 0;
    state_.commands.emplace_back(c, c + size);
    if (fails(command)) {
        answer(0x00);
        return size;
    }
    switch (command) {
        case BridgeCommand::SpiSpeed:
            state_.spiSpeedKHz = get32(c + 1);
            break;
        case BridgeCommand::SpiConfig:
            state_.spiConfig = c[0];
            break;
        case BridgeCommand::I2cAddress:
            state_.i2cAddress = c[1];
            break;
        case BridgeCommand::I2cSpeed:
            state_.i2cSpeedKHz = get32(c + 1);
            break;
        case BridgeCommand::CanSpeed:
            state_.canSpeed = get32(c + 1);
            break;
        case BridgeCommand::CanTxid:
            state_.canTxid = get32(c + 1);
            break;
        case BridgeCommand::CanRxid:
            state_.canRxid = get32(c + 1);
            break;
        case BridgeCommand::GpioConfigure:
            state_.gpioConfigure = {c[1], c[2], c[3]};
            break;
        case BridgeCommand::GpioSet:
            state_.gpioSet = {c[1], c[2], c[3]};
            break;
        case BridgeCommand::FpgaClock:
            state_.fpgaClockMHz = get32(c + 1);
            break;
        case BridgeCommand::HardReset:
            state_.mode = BridgeMode::PowerUp;
            ++state_.hardResets;
            break;
        default:
            break;
    }
    answer(0x01);
    return size;
}

size_t SimulatedBusBridge::transfer(const uint8_t* c, size_t left, bool padReads) {
    if (left < 5) return 0;
    const uint32_t writeCount = c[1] | static_cast<uint32_t>(c[2]) << 8;
    const uint32_t readCount = c[3] | static_cast<uint32_t>(c[4]) << 8;
    if (writeCount > kMaxTransfer || readCount > kMaxTransfer) {
        // No adapter takes this; what follows cannot be told from data.
        answer(0x00);
        state_.strayBytes += left;
        return left;
    }
    if (left < 5 + writeCount) return 0;
    if (writeCount) {
        ++state_.busWrites;
        if (fails(BridgeCommand::BusWrite)) {
            answer(0x00);
            return 5 + writeCount;
        }
        engine_.receive(c + 5, writeCount);
    }
    if (readCount == 0) {
        answer(0x01);
        return 5 + writeCount;
    }
    ++state_.busReads;
    if (fails(BridgeCommand::BusRead)) {
        answer(0x00);
        return 5 + writeCount;
    }
    std::vector<uint8_t> reply(1 + readCount, 0x00);
    reply[0] = 0x01;
    engine_.poll();
    const size_t got = engine_.takeOutput(reply.data() + 1, readCount);
    if (!padReads) reply.resize(1 + got);
    answer(reply);
    return 5 + writeCount;
}

size_t SimulatedBusBridge::process(const uint8_t* c, size_t left) {
    const uint8_t b = c[0];
    if (b == 0x00) return modeEntry(BridgeCommand::BitBang, b, "BBIO1", BridgeMode::BitBang);
    if (b == 0x0F) return setting(BridgeCommand::HardReset, c, 1, left);
    switch (state_.mode) {
        case BridgeMode::PowerUp:
            ++state_.strayBytes;  // the adapter waits for bit-bang mode
            return 1;
        case BridgeMode::BitBang:
            if (b == 0x01) return modeEntry(BridgeCommand::EnterSpi, b, "SPI1", BridgeMode::Spi);
            if (b == 0x02) return modeEntry(BridgeCommand::EnterI2c, b, "I2C1", BridgeMode::I2c);
            if (b == 0x07) return modeEntry(BridgeCommand::EnterCan, b, "CAN1", BridgeMode::Can);
            if (b == 0x40) return setting(BridgeCommand::GpioConfigure, c, 4, left);
            if (b == 0x80) return setting(BridgeCommand::GpioSet, c, 4, left);
            if (b == 0x20) return setting(BridgeCommand::FpgaClock, c, 5, left);
            break;
        case BridgeMode::Spi:
            if (b == 0x60) return setting(BridgeCommand::SpiSpeed, c, 5, left);
            if ((b & 0xF8) == 0x80) return setting(BridgeCommand::SpiConfig, c, 1, left);
            if (b == 0x04) return transfer(c, left, true);
            break;
        case BridgeMode::I2c:
            if (b == 0x70) return setting(BridgeCommand::I2cAddress, c, 2, left);
            if (b == 0x60) return setting(BridgeCommand::I2cSpeed, c, 5, left);
            if (b == 0x08) return transfer(c, left, true);
            break;
        case BridgeMode::Can:
            if (b == 0x40) return setting(BridgeCommand::CanSpeed, c, 5, left);
            if (b == 0x30) return setting(BridgeCommand::CanTxid, c, 5, left);
            if (b == 0x20) return setting(BridgeCommand::CanRxid, c, 5, left);
            if (b == 0x03) return transfer(c, left, false);
            break;
    }
    state_.commands.push_back({b});
    answer(0x00);
    return 1;
}

}  // namespace sim
