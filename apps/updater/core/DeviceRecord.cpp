#include "core/DeviceRecord.h"

#include "core/Context.h"

namespace core {

const std::array<const char*, kDeviceTypeCount> deviceTypeNames = {
    "InvalidDevice", "Gen1Robin",    "Gen1Kite",      "Gen1Osprey", "Enhanced Osprey GPS",
    "Heron GPS",     "Finch GPS",    "Finch Chroma",  "Finch Band", "Band Chroma",
    "Robin GPS",     "Condor GPS",   "Condor Chroma", "Osprey Max", "Heron Ultra",
    "Heron Lite",    "Heron Lite 2",
};

const std::array<FirmwareVersion, kDeviceTypeCount> firmwareVersionTable = {{
    {0, 0},
    {0, 0},
    {0, 0},
    {0, 0},  // 0..3: none
    {7, 63},
    {7, 63},
    {7, 63},
    {7, 63},
    {7, 63},
    {7, 63},
    {7, 63},  // 4..10
    {14, 51},
    {14, 51},
    {14, 51},
    {14, 51},  // 11..14
    {13, 12},  // 15
    {14, 31},  // 16
}};

int32_t updaterRadioBuildFor(int deviceType) {
    switch (deviceType) {
        case 11:
        case 12:
        case 13:
        case 14:
        case 16:
            return 1333026;
        case 15:
            return 1332013;
        default:
            return 1031039;
    }
}

const char* deviceTypeName(int deviceType) {
    if (deviceType < 0 || deviceType >= kDeviceTypeCount) return deviceTypeNames[0];
    return deviceTypeNames[static_cast<size_t>(deviceType)];
}

SharedDeviceRecord& deviceRecord() {
    return context().deviceRecord;
}

}  // namespace core
