// The Nordic radio: asking the running GPS for its radio firmware version,
// and updating the radio by putting its image on the GPS drive and telling
// the GPS to program it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hidport {
struct hid_device;
}

namespace core {

// True when the radio version is known or need not be asked; sets
// deviceRadioBuild (and clears reverseUpgrade) when it parses a version.
bool checkNordicVersion();

// True when the radio is up to date or the GPS reported that it finished
// programming it.
bool updateNordic();

// --- Pieces, for the workflow and its tests ---------------------------------

// The version text as the radio check filters it: a space becomes '0'; dots,
// digits, ':' and the letters E I N O R S V e i n o r s v stay; everything
// else is dropped. Reads up to the first NUL.
std::string filterRadioVersionText(std::string_view raw);

struct RadioVersion {
    int dots = 0;                  // dots seen in the filtered text
    std::string digits;            // version digits with the build digits appended
    std::optional<int32_t> build;  // only when there were exactly three dots
};
// Parses a filtered text that contains "VERSION".
RadioVersion parseRadioVersion(std::string_view filtered);

// Follows the GPS's progress reports after UPDATE_NORDIC on an open handle.
// 1: completion reported, 0: no completion, -1: the GPS reported a failure
// ('%').
int followRadioProgress(hidport::hid_device* handle, const std::string& modelName);

// CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection, no
// final XOR (check value 0x29B1).
uint16_t imageCrc16(const uint8_t* data, size_t length);

// Builds that need no update, by type group, and the threshold below which
// the main firmware must be written before the radio.
inline constexpr int32_t kCurrentRadioBuild = 1031039;
inline constexpr int32_t kCurrentCondorRadioBuild = 1333026;
inline constexpr int32_t kReverseUpgradeBelow = 103007;

// File names of the staging copies and of the files on the GPS drive.
inline constexpr const char* kStagedRadioImage = "candidatefrmwile.txt";
inline constexpr const char* kStagedRadioInit = "candidatefdtwile.txt";
inline constexpr const char* kDriveRadioImage = "nrf_update.bin";
inline constexpr const char* kDriveRadioInit = "nrf_update.dat";

}  // namespace core
