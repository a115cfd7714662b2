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
// The region erased before a write: 0xa000..0x7FFFF.
inline constexpr uint32_t kEraseRegionLength = 0x76000;
inline constexpr uint32_t kFlashSectorSize = 0x1000;

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
// when the erase failed.
bool programInBootloaderMode(int productId, int vendorId);

// The ROM-bootloader road for a device whose model the user chose: program
// (no erase) and reset the device at 0x15A2 / 0x73. Always true.
bool onEmergencyProgramFlashMode(SharedDeviceRecord& record, int deviceType, int variant);

// The three bootloader operations; false once their retries are used up.
bool eraseFlash();
// The write decodes the image into a buffer of its own, never the shared
// image buffer the radio and font workflows use. True when the write ran. `writeCompleted`, when
// given, receives whether the exchange completed: every byte sent and a final response received. A
// write that did not complete has left the flash half written, and the caller must not report
// success for it.
bool programFlash(bool* writeCompleted = nullptr);
bool resetDevice();

// --- Pieces, for the operations and their tests -----------------------------

// The device type and image variant the next write uses, as programFlash
// decides them, without its log lines and reports.
struct ProgramTarget {
    int deviceType = 0;  // after taking 60 off a Japanese bootloader product id
    int lv = 0;          // 60 Japanese, 0 standard
};
ProgramTarget programTarget();

// How much to erase from 0xa000 before writing an image of `imageLength`
// bytes: the usual region, or the whole image rounded up to whole sectors
// when it is longer than that region, so no byte is written onto flash that
// was not erased.
uint32_t eraseLengthFor(uint32_t imageLength);

// The erase and write argument vectors.
std::vector<std::string> eraseArguments(uint32_t eraseLength);

// Builds "{{" + hex digits + "}}" for the image into the static hex text
// buffer and returns a view of it; nothing (and nothing written) when the
// image does not fit. The buffer is programFlash's: not while it runs.
std::optional<std::string_view> buildProgramHexText(const uint8_t* image, size_t length);

// Whether a write-memory command's outcome is a completed exchange: its data
// phase sent every byte and a final response answered it. `details` is the
// command's result text ("Wrote N of M bytes."), `status` its first response
// value.
bool writeExchangeCompleted(uint32_t status, const std::string& details);

// The program-wide error counters.
struct ProgrammingErrorCounts {
    int erase = 0;
    int program = 0;
    int reset = 0;
};
ProgrammingErrorCounts programmingErrorCounts();
// Back to zero (a fresh start, for tests).
void resetProgrammingErrorCounts();

// Installs the progress counter as the sink of the bootloader library's
// logger. Done once before the first bootloader session; calling it again
// does nothing.
void installBootloaderLogSink();

}  // namespace core
