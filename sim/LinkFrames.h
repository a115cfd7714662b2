// The command link as the GPS speaks it: decoding the host's command reports
// and framing the GPS's replies into 64-byte input reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr size_t kInputReportSize = 64;
using InputReport = std::array<uint8_t, kInputReportSize>;

// A command as the GPS received it.
struct LinkCommandFrame {
    std::vector<uint8_t> payload;  // opcode first, without the CRC
    bool crcOk = false;
    uint8_t opcode() const { return payload.empty() ? 0 : payload[0]; }
};

// Finds the first frame in a command report (after its report id byte). None
// when the report holds no complete frame.
std::optional<LinkCommandFrame> decodeCommandReport(std::span<const uint8_t> report);

// One reply frame (SOH, escaped payload and CRC, EOT) padded with 0xFF to a
// whole input report. `breakCrc` sends a wrong CRC. Payloads whose frame
// would not fit are cut at the end.
InputReport frameReply(std::span<const uint8_t> payload, bool breakCrc = false);

// A DEVICE_TEXT reply: code 0x0A, the text, NUL.
InputReport textReply(std::string_view text, bool breakCrc = false);

// A plain text report, NUL padded, without framing.
InputReport rawTextReport(std::string_view text);

// --- The host's side, for tests and tools that talk to a simulated GPS ------

inline constexpr size_t kOutputReportSize = 65;
using OutputReport = std::array<uint8_t, kOutputReportSize>;

// A command report as the updater writes it: report id 0, the framed payload
// (opcode, then the arguments of the argument form), 0xFF padding.
OutputReport commandReport(std::span<const uint8_t> payload);
OutputReport commandReport(uint8_t opcode);
// The argument form: 16-bit and 32-bit arguments, little-endian.
OutputReport commandReport(uint8_t opcode, uint16_t word, uint32_t value);

// The payload of the first frame in an input report whose CRC matches
// (without the CRC); none otherwise.
std::optional<std::vector<uint8_t>> decodeReplyReport(std::span<const uint8_t> report);

}  // namespace sim
