#include "core/CommandLink.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "core/DevicePermission.h"
#include "core/ReportCallbacks.h"

namespace core {

namespace {

constexpr std::array<uint16_t, 16> kNibbleTable = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};

// A device that keeps talking must not hold the caller for ever either: text
// lines beyond this many in one transaction count as unexpected replies.
constexpr int kMaxTextLines = 64;

bool isControlByte(uint8_t b) {
    return b == SOH || b == EOT || b == DLE;
}

bool writeReport(hidport::hid_device* handle, std::span<const uint8_t> payload) {
    if (!handle) return false;
    std::array<uint8_t, kLinkOutputReportSize> report;
    report.fill(0xFF);
    report[0] = 0x00;
    std::vector<uint8_t> frame = encodeLinkFrame(payload);
    // The longest command frame is 20 bytes, far below the 64 a report holds.
    std::copy_n(frame.begin(), std::min(frame.size(), report.size() - 1), report.begin() + 1);
    return hidport::hid_write_timeout(handle, report.data(), report.size(), -1) > 0;
}

// The text of a DEVICE_TEXT reply, made safe for the log: control bytes other
// than line ends become '.'.
std::string deviceText(std::span<const uint8_t> reply, size_t end) {
    std::string text;
    for (size_t i = 1; i < end && i < reply.size() && reply[i] != 0; ++i) {
        char c = static_cast<char>(reply[i]);
        if ((reply[i] < 0x20 && c != '\r' && c != '\n' && c != '\t') || reply[i] == 0x7F) c = '.';
        text.push_back(c);
    }
    return text;
}

}  // namespace

uint16_t linkCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        for (uint8_t nibble :
             {static_cast<uint8_t>(byte >> 4), static_cast<uint8_t>(byte & 0x0F)}) {
            const uint8_t index = static_cast<uint8_t>((crc >> 12) ^ nibble);
            crc = static_cast<uint16_t>(kNibbleTable[index] ^ (crc << 4));
        }
    }
    return crc;
}

std::vector<uint8_t> encodeLinkFrame(std::span<const uint8_t> payload) {
    const uint16_t crc = linkCrc16(payload.data(), payload.size());
    std::vector<uint8_t> body(payload.begin(), payload.end());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> frame;
    frame.reserve(body.size() * 2 + 2);
    frame.push_back(SOH);
    for (uint8_t b : body) {
        if (isControlByte(b)) frame.push_back(DLE);
        frame.push_back(b);
    }
    frame.push_back(EOT);
    return frame;
}

bool sendLinkCommand(uint8_t opcode, hidport::hid_device* handle) {
    const uint8_t payload[1] = {opcode};
    return writeReport(handle, payload);
}

bool sendLinkCommandWithArgs(uint8_t opcode, hidport::hid_device* handle, uint16_t wordArg,
                             uint32_t longArg) {
    const uint8_t payload[7] = {
        opcode,
        static_cast<uint8_t>(wordArg & 0xFF),
        static_cast<uint8_t>(wordArg >> 8),
        static_cast<uint8_t>(longArg & 0xFF),
        static_cast<uint8_t>((longArg >> 8) & 0xFF),
        static_cast<uint8_t>((longArg >> 16) & 0xFF),
        static_cast<uint8_t>((longArg >> 24) & 0xFF),
    };
    return writeReport(handle, payload);
}

bool decodeLinkReport(std::span<const uint8_t> report, std::span<uint8_t> reply,
                      size_t* decodedLength) {
    size_t index = 0;
    bool escaped = false;
    bool complete = false;
    auto store = [&](uint8_t b) {
        if (index < reply.size()) reply[index++] = b;
    };
    for (size_t i = 0; i < report.size() && !complete; ++i) {
        const uint8_t b = report[i];
        if (escaped) {
            store(b);
            escaped = false;
            continue;
        }
        switch (b) {
            case SOH:
                index = 0;
                break;
            case EOT:
                if (index >= 2) {
                    const uint16_t received =
                        static_cast<uint16_t>(reply[index - 2] | (reply[index - 1] << 8));
                    if (index > 2 && linkCrc16(reply.data(), index - 2) == received) {
                        complete = true;
                    }
                }
                break;
            case DLE:
                escaped = true;
                break;
            default:
                store(b);
                break;
        }
    }
    if (decodedLength) *decodedLength = index;
    return complete;
}

bool linkTransaction(uint8_t opcode, std::span<uint8_t> reply, size_t* replyLength) {
    if (replyLength) *replyLength = 0;
    logLine("\r\nOpening HID device\r\n");
    int unexpected = 0;
    int textLines = 0;
    // Closed on every way out, an error raised by the transport included.
    std::unique_ptr<hidport::hid_device, decltype(&hidport::hid_close)> device(openGpsApplication(),
                                                                               &hidport::hid_close);
    hidport::hid_device* handle = device.get();
    if (!handle) {
        logLine("Failed to open HID device\r\n");
        return false;
    }
    logLine("Sending command\r\n");
    sendLinkCommand(opcode, handle);
    logLine("Waiting for response\r\n");

    bool echoed = false;
    size_t length = 0;
    while (!echoed) {
        std::array<uint8_t, kLinkInputReportSize> report{};
        int n =
            hidport::hid_read_timeout(handle, report.data(), report.size(), kLinkReplyTimeoutMs);
        size_t count = n > 0 ? static_cast<size_t>(n) : 0;
        bool complete = false;
        if (count > 0) {
            complete = decodeLinkReport(std::span(report.data(), count), reply, &length);
        }
        if (count == 0 || length == 0) {
            // Nothing new to judge: a silent device, or a report that held no
            // stored byte. The buffer's old first byte must not be judged again.
            logLine("No response from device\r\n");
            if (++unexpected > 2) break;
            continue;
        }
        const uint8_t code = reply[0];
        if (code == DEVICE_TEXT && ++textLines <= kMaxTextLines) {
            std::string text = deviceText(reply, complete ? length - 2 : length);
            std::fputs(text.c_str(), stdout);
            logLine(text);
            continue;
        }
        if (code == opcode && code != DEVICE_TEXT) {
            if (complete) {
                echoed = true;
                break;
            }
            // The echo arrived damaged (wrong CRC, or cut by the report's
            // end): its data cannot be trusted.
            logLine("Damaged response (CRC mismatch)\r\n");
        } else {
            logLine("Unexpected command\r\n");
        }
        if (++unexpected > 2) break;
    }
    device.reset();
    if (echoed && replyLength) *replyLength = length;
    return echoed;
}

}  // namespace core
