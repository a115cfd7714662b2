#include "sim/LinkFrames.h"

#include <algorithm>

#include "sim/Crc16.h"

namespace sim {

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kDeviceText = 0x0A;

bool isControl(uint8_t b) {
    return b == kSoh || b == kEot || b == kDle;
}

std::vector<uint8_t> encode(std::span<const uint8_t> payload, bool breakCrc) {
    uint16_t crc = crc16(payload.data(), payload.size());
    if (breakCrc) crc = static_cast<uint16_t>(crc ^ 0x5A5A);
    std::vector<uint8_t> body(payload.begin(), payload.end());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> frame{kSoh};
    for (uint8_t b : body) {
        if (isControl(b)) frame.push_back(kDle);
        frame.push_back(b);
    }
    frame.push_back(kEot);
    return frame;
}

}  // namespace

std::optional<LinkCommandFrame> decodeCommandReport(std::span<const uint8_t> report) {
    std::vector<uint8_t> stored;
    bool inFrame = false;
    bool escaped = false;
    // Byte 0 is the report id.
    for (size_t i = 1; i < report.size(); ++i) {
        const uint8_t b = report[i];
        if (escaped) {
            stored.push_back(b);
            escaped = false;
        } else if (b == kSoh) {
            stored.clear();
            inFrame = true;
        } else if (!inFrame) {
            continue;
        } else if (b == kDle) {
            escaped = true;
        } else if (b == kEot) {
            if (stored.size() < 3) return std::nullopt;
            LinkCommandFrame frame;
            frame.payload.assign(stored.begin(), stored.end() - 2);
            const uint16_t received =
                static_cast<uint16_t>(stored[stored.size() - 2] | (stored.back() << 8));
            frame.crcOk = crc16(frame.payload.data(), frame.payload.size()) == received;
            return frame;
        } else {
            stored.push_back(b);
        }
    }
    return std::nullopt;
}

InputReport frameReply(std::span<const uint8_t> payload, bool breakCrc) {
    std::vector<uint8_t> data(payload.begin(), payload.end());
    std::vector<uint8_t> frame = encode(data, breakCrc);
    while (frame.size() > kInputReportSize && data.size() > 1) {
        data.pop_back();
        frame = encode(data, breakCrc);
    }
    InputReport report;
    report.fill(0xFF);
    std::copy_n(frame.begin(), std::min(frame.size(), report.size()), report.begin());
    return report;
}

InputReport textReply(std::string_view text, bool breakCrc) {
    std::vector<uint8_t> payload{kDeviceText};
    payload.insert(payload.end(), text.begin(), text.end());
    // Cut the text, never the NUL, when the frame would not fit.
    std::vector<uint8_t> withNul = payload;
    withNul.push_back(0);
    while (encode(withNul, breakCrc).size() > kInputReportSize && payload.size() > 1) {
        payload.pop_back();
        withNul = payload;
        withNul.push_back(0);
    }
    return frameReply(withNul, breakCrc);
}

InputReport rawTextReport(std::string_view text) {
    InputReport report{};
    std::copy_n(text.begin(), std::min(text.size(), report.size() - 1), report.begin());
    return report;
}

OutputReport commandReport(std::span<const uint8_t> payload) {
    OutputReport report;
    report.fill(0xFF);
    report[0] = 0x00;
    std::vector<uint8_t> frame = encode(payload, false);
    std::copy_n(frame.begin(), std::min(frame.size(), report.size() - 1), report.begin() + 1);
    return report;
}

OutputReport commandReport(uint8_t opcode) {
    const uint8_t payload[1] = {opcode};
    return commandReport(payload);
}

OutputReport commandReport(uint8_t opcode, uint16_t word, uint32_t value) {
    const uint8_t payload[7] = {
        opcode,
        static_cast<uint8_t>(word),
        static_cast<uint8_t>(word >> 8),
        static_cast<uint8_t>(value),
        static_cast<uint8_t>(value >> 8),
        static_cast<uint8_t>(value >> 16),
        static_cast<uint8_t>(value >> 24),
    };
    return commandReport(payload);
}

std::optional<std::vector<uint8_t>> decodeReplyReport(std::span<const uint8_t> report) {
    // An input report has no report id: the frame starts at byte 0. Reuse the
    // command decoder by putting a report id in front.
    std::vector<uint8_t> withId{0x00};
    withId.insert(withId.end(), report.begin(), report.end());
    std::optional<LinkCommandFrame> frame = decodeCommandReport(withId);
    if (!frame || !frame->crcOk) return std::nullopt;
    return std::move(frame->payload);
}

}  // namespace sim
