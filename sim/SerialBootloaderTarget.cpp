#include "sim/SerialBootloaderTarget.h"

namespace sim {

SerialBootloaderTarget::SerialBootloaderTarget(platform::Clock& clock) : engine_(clock) {
    start();
}

SerialBootloaderTarget::~SerialBootloaderTarget() {
    stop();
}

void SerialBootloaderTarget::onInput(const uint8_t* data, size_t length) {
    engine_.receive(data, length);
    forward();
}

void SerialBootloaderTarget::onTick() {
    engine_.poll();
    forward();
}

void SerialBootloaderTarget::forward() {
    uint8_t buffer[512];
    while (size_t n = engine_.takeOutput(buffer, sizeof buffer)) send(buffer, n);
}

}  // namespace sim
