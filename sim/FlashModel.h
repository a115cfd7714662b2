// The program flash of the simulated GPS: 1 MiB in sectors of 4 KiB unless
// told otherwise, erased to 0xFF. It behaves as NOR flash does: programming can only clear bits, so
// a write that would have to turn a 0 back into a 1 fails, and only an erase of whole sectors
// brings bytes back to 0xFF.
//
// Every operation is all-or-nothing: a refused write or erase leaves the flash
// exactly as it was, so a test can tell what the host managed to program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

// Status values the flash reports; the bootloader target passes them on to
// the host unchanged, so they are the protocol's own numbers.
enum FlashStatus : int32_t {
    kFlash_Success = 0,
    kFlash_AlignmentError = 101,  // erase not on sector boundaries
    kFlash_AccessError = 103,     // program-once record already programmed
    kFlash_CommandFailure = 105,  // a program would have to set a cleared bit
    kFlash_RangeInvalid = 10200,  // any byte of the range lies outside the flash
};

class FlashModel {
  public:
    static constexpr uint32_t kSize = 1024 * 1024;
    static constexpr uint32_t kDefaultSectorSize = 4096;
    static constexpr uint8_t kErasedByte = 0xFF;

    FlashModel();

    // Devices differ in the sector size of their flash. A power of two from
    // 256 bytes to the whole flash; anything else is refused (false) and the
    // size stays.
    bool setSectorSize(uint32_t bytes);
    uint32_t sectorSize() const;

    // True when [address, address + length) lies inside the flash. An empty
    // range is inside when its address is not past the end.
    static bool inRange(uint32_t address, uint64_t length);

    // A copy of the bytes; empty when the range is not inside the flash.
    std::vector<uint8_t> read(uint32_t address, uint32_t length) const;

    // Erases every sector of the region. The region must start and end on a
    // sector boundary, as the flash controller erases whole sectors only: an
    // unaligned start or length is refused with kFlash_AlignmentError and
    // nothing is erased (rounding out would wipe bytes the caller did not
    // name). A length of 0 erases nothing and succeeds.
    int32_t erase(uint32_t address, uint32_t length);
    void eraseAll();

    // Programs the bytes. Refused with kFlash_CommandFailure, writing nothing,
    // when any byte would need a bit set that is cleared now; rewriting a byte
    // with its current value, or clearing more bits, is fine.
    int32_t write(uint32_t address, const uint8_t* data, size_t length);
    int32_t write(uint32_t address, const std::vector<uint8_t>& data) {
        return write(address, data.data(), data.size());
    }

    // Puts bytes in place regardless of their current value, as the factory
    // would: for tests that start from a device with an old image on it.
    // Returns kFlash_RangeInvalid when the range is not inside the flash.
    int32_t preload(uint32_t address, const std::vector<uint8_t>& data);

    // True when every byte of the range reads 0xFF (false outside the flash).
    bool isErased(uint32_t address, uint32_t length) const;

    // Counts of successful operations, for tests that check what the host did.
    int eraseCount() const;
    uint64_t bytesWritten() const;

  private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    uint32_t sectorSize_ = kDefaultSectorSize;
    int erases_ = 0;
    uint64_t bytesWritten_ = 0;
};

}  // namespace sim
