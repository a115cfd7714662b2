// A simulated GPS as most suites start from it: a type, a variant and a
// version, the rest as the device ships.
#pragma once

#include "sim/SimulatedGps.h"

namespace testing_support {

inline sim::GpsConfig gpsConfig(int type, bool japanese, int major, int minor) {
    sim::GpsConfig c;
    c.deviceType = type;
    c.japanese = japanese;
    c.versionMajor = major;
    c.versionMinor = minor;
    return c;
}

}  // namespace testing_support
