// The framed command link to the GPS application over USB HID (vendor 0x2B29,
// product 0x55): 65-byte output reports (report id 0, then the frame, then
// 0xFF), 64-byte input reports each holding at most one reply frame.
//
// Frame: SOH, payload and its CRC-16 (low byte first) with every 0x01, 0x04
// and 0x10 preceded by DLE, EOT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hidport/hidport.h"

namespace core {

inline constexpr uint8_t SOH = 0x01;
inline constexpr uint8_t EOT = 0x04;
inline constexpr uint8_t DLE = 0x10;

inline constexpr uint16_t kGpsVendorId = 0x2B29;
inline constexpr uint16_t kGpsAppProductId = 0x55;
inline constexpr uint16_t kRomBootloaderVendorId = 0x15A2;
inline constexpr uint16_t kRomBootloaderProductId = 0x73;

// Opcodes of the commands the updater sends.
enum LinkCommand : uint8_t {
    READ_DEVICE_INFO = 6,
    NORDIC_ERASE_KEYS = 7,
    JUMP_TO_BL = 9,
    FACTORY_RESET = 13,
    UPDATE_NORDIC = 14,
    NRF_GET_VERSION = 58,
    KANJI_PROGRAM_FLASH = 64,
};
inline constexpr uint8_t DEVICE_TEXT = 0x0A;  // reply code of a text line

inline constexpr size_t kLinkOutputReportSize = 65;
inline constexpr size_t kLinkInputReportSize = 64;
inline constexpr int kLinkReplyTimeoutMs = 10000;

// CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final
// XOR, four bits at a time from a 16-entry table.
uint16_t linkCrc16(const uint8_t* data, size_t length);

// The frame of a payload: SOH, escaped payload and CRC, EOT.
std::vector<uint8_t> encodeLinkFrame(std::span<const uint8_t> payload);

// Writes the one-byte command as one report on an open handle. True when the
// write reported more than 0 bytes written.
bool sendLinkCommand(uint8_t opcode, hidport::hid_device* handle);
// The same with a 16-bit and a 32-bit argument, both little-endian.
bool sendLinkCommandWithArgs(uint8_t opcode, hidport::hid_device* handle, uint16_t wordArg,
                             uint32_t longArg);

// Decodes one input report into `reply` (restarting at every SOH). True when
// a frame ended with a matching CRC; `decodedLength` receives the number of
// bytes stored (payload and CRC for a complete frame). Never writes past the
// end of `reply`.
bool decodeLinkReport(std::span<const uint8_t> report, std::span<uint8_t> reply,
                      size_t* decodedLength = nullptr);

// Opens the GPS, sends the one-byte command, waits for the reply that echoes
// it and closes the GPS. True when the echo arrived whole (matching CRC);
// `reply` (at least 64 bytes) then holds its payload and CRC, and
// `replyLength` their count. Device text lines met on the way are logged.
// Three unexpected replies, damaged replies or empty reads end the wait.
bool linkTransaction(uint8_t opcode, std::span<uint8_t> reply, size_t* replyLength = nullptr);

}  // namespace core
