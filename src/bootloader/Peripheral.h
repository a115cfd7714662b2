// A byte or report transport to a bootloader target.
#pragma once

#include <cstdint>

#include "bootloader/Status.h"

namespace bootloader {

class Peripheral {
  public:
    virtual ~Peripheral() = default;
    // Reads up to `requested` bytes; `actual` (when given) receives the count.
    virtual status_t read(uint8_t* buffer, uint32_t requested, uint32_t* actual,
                          uint32_t timeoutMs) = 0;
    virtual status_t write(const uint8_t* buffer, uint32_t byteCount) = 0;
};

}  // namespace bootloader
