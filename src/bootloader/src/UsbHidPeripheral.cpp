#include "bootloader/UsbHidPeripheral.h"

#include <cassert>
#include <cstdio>
#include <stdexcept>

#include "bootloader/Logger.h"
#include "hidport/hidport.h"

namespace bootloader {

namespace {

// The byte trace, made only for a logger at level 7 (one that prints it):
// each piece is one log call. The pieces carry no conversion, so they pass
// through the logger without formatting or allocation.
struct TracePieces {
    std::string hex[256];
    std::string space = " ";
    std::string readOpen = "<", readClose = ">\n";
    std::string writeOpen = "[", writeClose = "]\n";
    TracePieces() {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) hex[i] = {digits[i >> 4], digits[i & 15]};
    }
};

const TracePieces& pieces() {
    static const TracePieces p;
    return p;
}

Logger* traceLogger() {
    Logger* logger = getLogger();
    return logger && logger->filterLevel == kLogTrace ? logger : nullptr;
}

void trace(Logger& logger, const std::string& open, const uint8_t* bytes, int count,
           const std::string& close) {
    const TracePieces& p = pieces();
    logger.log(kLogTrace, open);
    for (int i = 0; i < count; ++i) {
        if (i) logger.log(kLogTrace, p.space);
        logger.log(kLogTrace, p.hex[bytes[i]]);
    }
    logger.log(kLogTrace, close);
}

}  // namespace

UsbHidPeripheral::UsbHidPeripheral(uint16_t vid, uint16_t pid, const std::string& serial)
    : vendorId(vid), productId(pid), serialNumber(serial.begin(), serial.end()) {
    device_ = hidport::hid_open(vendorId, productId, nullptr);
    if (!device_) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x%04x, "
                      "pid=0x%04x).",
                      vendorId, productId);
        throw std::runtime_error(text);
    }
}

UsbHidPeripheral::~UsbHidPeripheral() {
    if (device_) {
        hidport::hid_close(device_);
        hidport::hid_exit();
    }
}

status_t UsbHidPeripheral::read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                                uint32_t timeoutMs) {
    assert(buffer);
    int n = hidport::hid_read_timeout(device_, buffer, requested, static_cast<int>(timeoutMs));
    if (n < -1) n = -1;
    // hidapi never returns more than asked; a device that claims to is cut.
    if (n > static_cast<int>(requested)) n = static_cast<int>(requested);
    if (actual) *actual = static_cast<uint32_t>(n);
    if (Logger* logger = traceLogger()) {
        trace(*logger, pieces().readOpen, buffer, n, pieces().readClose);
    }
    if (n >= 4) return kStatus_Success;
    if (n == -1) return kStatus_Fail;
    return kStatus_Timeout;
}

status_t UsbHidPeripheral::write(const uint8_t* buffer, uint32_t byteCount, uint32_t timeoutMs) {
    assert(buffer);
    if (Logger* logger = traceLogger()) {
        trace(*logger, pieces().writeOpen, buffer, static_cast<int>(byteCount),
              pieces().writeClose);
    }
    int r = hidport::hid_write_timeout(device_, buffer, byteCount, static_cast<int>(timeoutMs));
    if (r >= 0) return kStatus_Success;
    if (const wchar_t* error = hidport::hid_error(device_)) {
        std::string narrow;
        for (const wchar_t* c = error; *c; ++c) {
            narrow += *c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '?';
        }
        logError("%s", narrow.c_str());
    }
    return kStatus_Fail;
}

}  // namespace bootloader
