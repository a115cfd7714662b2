// Rewriting the GPS's main firmware through its bootloader.
//
// Two roads lead here: updateFirmware sends a running GPS into its flash
// bootloader (the bootloader-mode thread then runs programInBootloaderMode),
// and onEmergencyProgramFlashMode programs a device that only starts in the
// microcontroller's ROM bootloader. Both rest on three bootloader operations,
// each a whole session of its own that is retried on errors with counters
// kept for the whole run of the program: eraseFlash, programFlash and
// resetDevice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/DeviceRecord.h"

namespace core {

// Flash layout: the application is linked at 0xa000; below it lives the
// device's own bootloader, which is never touched.
inline constexpr uint32_t kApplicationAddress = 0xa000;
// The region erased before every write, whatever the type: 0xa000..0x7FFFF.
inline constexpr uint32_t kEraseRegionLength = 0x76000;
inline constexpr uint32_t kEraseRegionEnd = kApplicationAddress + kEraseRegionLength;
// An image longer than the region has its tail from 0x80000 erased in the
// device's own sectors (flash-sector-size); this size when it does not say.
inline constexpr uint32_t kFallbackSectorSize = 0x1000;
inline constexpr uint32_t kSmallestSectorSize = 0x100;

// Retry limits of the three operations, over the whole run of the program.
inline constexpr int kEraseRetryLimit = 10;
inline constexpr int kProgramRetryLimit = 10;
inline constexpr int kResetRetryLimit = 5;

// The write's data argument lives in a static buffer of this size:
// "{{", two hex digits per byte, "}}" and a NUL.
inline constexpr size_t kProgramHexTextSize = 3'000'000;
inline constexpr size_t kLargestProgrammableImage = (kProgramHexTextSize - 5) / 2;

// Backs up the device's data when its model needs it, sends JUMP_TO_BL over
// the command link and returns; the device comes back as a flash bootloader.
// False when the application-mode device cannot be opened, and when a backup
// that was needed could not be made (the device is then left as it was).
bool updateFirmware(SharedDeviceRecord& record);

// The bootloader-mode road: driver wait, erase, program, reset. False only
// when the erase failed: its retries used up, or the device refused to erase
// 0xa000..0x7FFFF (then nothing is written, the device is reset and the error
// shown).
bool programInBootloaderMode(int productId, int vendorId);

// The ROM-bootloader road for a device whose model the user chose: program
// (no erase) and reset the device at 0x15A2 / 0x73. A write the device
// refuses is followed by an erase and one more write; if that fails too the
// error is shown and the reset brings the device back to its ROM bootloader
// for another try. Always true.
bool onEmergencyProgramFlashMode(SharedDeviceRecord& record, int deviceType, int variant);

// How a write ended.
enum class WriteResult {
    Written,     // every byte sent, and the device answered success
    Refused,     // the device answered with a failure status of its own (105, say)
    Incomplete,  // the exchange broke off: no final response, an abort, nothing sent
};

// The three bootloader operations; false once their retries are used up.
// The erase: 0xa000..0x7FFFF, then for a longer image its tail from 0x80000
// in the device's sectors. True when it ran; `regionErased`, when given,
// receives whether the device erased 0xa000..0x7FFFF (status 0). Nothing may
// be written when it did not. A refused tail erase is only logged: the
// write's own status then tells.
bool eraseFlash(bool* regionErased = nullptr);
// The write decodes the image into images::firmwareBuffer, never the shared
// image buffer the radio and font workflows use. True when the write ran;
// `result`, when given, receives how it ended. A write that was not Written
// has left the flash without a whole image, and the caller must not report
// success for it.
bool programFlash(WriteResult* result = nullptr);
bool resetDevice();

// --- Pieces, for the operations and their tests -----------------------------

// The device type and image variant the next write uses, as programFlash
// decides them, without its log lines and reports.
struct ProgramTarget {
    int deviceType = 0;  // after taking 60 off a Japanese bootloader product id
    int lv = 0;          // 60 Japanese, 0 standard
};
ProgramTarget programTarget();

// How much to erase from 0x80000 for an image of `imageLength` bytes written
// at 0xa000: its end rounded up to whole sectors of `sectorSize`, less
// 0x80000; 0 when the image ends inside the region.
uint32_t tailEraseLength(uint32_t imageLength, uint32_t sectorSize);

// The sector size in the response values of get-property flash-sector-size
// (status first); nothing for a failure status, a missing word, or a size
// that is not a power of two from 256 bytes to 512 KiB (one that does not
// divide 0x80000 could not start the tail there).
std::optional<uint32_t> sectorSizeFromAnswer(const std::vector<uint32_t>& values);

// "flash-erase-region" with the start and length in hexadecimal.
std::vector<std::string> eraseArguments(uint32_t start, uint32_t length);

// Builds "{{" + hex digits + "}}" for the image into the static hex text
// buffer and returns a view of it; nothing (and nothing written) when the
// image does not fit. The buffer is programFlash's: not while it runs.
std::optional<std::string_view> buildProgramHexText(const uint8_t* image, size_t length);

// How a write-memory command ended, from its first response value `status`
// and its result text `details` ("Wrote N of M bytes."). The codes the host
// makes up (10000, 10002, 10004) mean the exchange broke off; any other
// non-zero status is the device's refusal.
WriteResult judgeWrite(uint32_t status, const std::string& details);

// The error counters of the current context (core/Context.h).
struct ProgrammingErrorCounts {
    int erase = 0;
    int program = 0;
    int reset = 0;
};
ProgrammingErrorCounts programmingErrorCounts();

// Installs the updater's logger for the bootloader library, below its byte
// trace, unless one is installed already. Done once before the first
// bootloader session; calling it again does nothing.
void installBootloaderLogger();

}  // namespace core
