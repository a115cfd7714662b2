// The connected device as the updater knows it, and the tables it is judged
// against: model names, the firmware version carried per device type, and the
// radio build carried per type.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace core {

inline constexpr int kDeviceTypeCount = 17;  // types 0..16
inline constexpr int kJapaneseOffset = 60;   // a Japanese device adds 60 to its type
inline constexpr int kJapaneseVariant = 60;  // `dlv` / `gcbn` value of the Japanese image

// Index = device type.
extern const std::array<const char*, kDeviceTypeCount> deviceTypeNames;

struct FirmwareVersion {
    int major = 0;
    int minor = 0;
};

// The firmware version of the image carried for each device type; 0.0 for the
// types without firmware in this updater (0 to 3).
extern const std::array<FirmwareVersion, kDeviceTypeCount> firmwareVersionTable;

// The radio build carried for a (normalised) device type.
int32_t updaterRadioBuildFor(int deviceType);

// Name of a device type, or "InvalidDevice" outside 0..16.
const char* deviceTypeName(int deviceType);

// The one record of the connected device. Texts that the original kept as
// "none" are empty here.
struct DeviceRecord {
    int versionMinor = 0;
    int versionMajor = 0;
    int infoByteB = 0;
    int infoByteA = 0;
    int dlv = 0;  // 60 Japanese, 0 standard
    int rawId = 0;
    int deviceType = 0;
    std::string modelName;
    int targetMajor = 0;
    int targetMinor = 0;
    std::string connectedText;
    std::string updateLabel;    // empty: no update offered
    std::string statusMessage;  // empty: none
    std::string promptText;
    std::string confirmText;
    std::string cancelText;
};

// The record shared between the window thread and the workers: read as a
// copy, written whole, so that no thread sees a record half filled.
class SharedDeviceRecord {
  public:
    DeviceRecord snapshot() const {
        std::lock_guard lock(mutex_);
        return record_;
    }
    void store(const DeviceRecord& record) {
        std::lock_guard lock(mutex_);
        record_ = record;
    }
    // Changes some fields in place, under the lock.
    template <class F>
    void modify(F&& change) {
        std::lock_guard lock(mutex_);
        change(record_);
    }

  private:
    mutable std::mutex mutex_;
    DeviceRecord record_;
};

// The record of the current context (core/Context.h).
SharedDeviceRecord& deviceRecord();

}  // namespace core
