#pragma once

// What the bootloader sessions (FirmwareProgramming.cpp) and the two roads
// that use them (FirmwareRoads.cpp) share. Internal to core.

#include <atomic>

#include "core/DeviceRecord.h"

namespace core::programming {

inline constexpr const char* kDamagedImageTitle = "The firmware image in this updater is damaged";
inline constexpr const char* kDamagedImageDetail =
    "Nothing was written to the GPS.\nPlease install the updater again.";

// The device the current run programs, or none.
SharedDeviceRecord* currentDevice();

// The last erase of the region got no answer at all (as opposed to a refusal).
extern std::atomic<bool> gEraseUnanswered;

// The image this run is to write decodes to the bytes the build recorded.
// Asked before anything leaves the GPS's hands (JUMP_TO_BL, the erase): a
// damaged image found only at the write would leave it with none.
bool carriedImageIntact();

}  // namespace core::programming
