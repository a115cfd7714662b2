// The fault matrix: the automatic update of each model class, with the cable
// pulled before and after each of its steps and plugged back in. Each case
// is run by FaultMatrixTest (fault_matrix_test.cpp); the cases themselves
// and their names live here.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/UpdatePhase.h"
#include "sim/SimulatedGps.h"

namespace reliability {

// The roads the update takes differ by model class.
enum class ModelClass {
    Classic,    // types 4 to 10: firmware, then the radio (an outdated one here)
    Condor,     // types 11 and 12: firmware, radio, one font pack
    OspreyMax,  // type 13 below 13.0: backup, firmware, factory reset, radio,
                // two font packs, restore
    Heron,      // types 14 to 16: firmware, radio, two font packs
};
const char* modelClassName(ModelClass c);

// Where the cable is pulled: at a device step of the simulated GPS, or when
// the updater enters a phase of its own steps (the backup, the copies to the
// drive, the restore).
struct FaultPoint {
    std::string name;  // "BeforeErase", "Write30", ...
    // A device step, with its data-packet count for the write.
    std::optional<sim::GpsStep> step;
    int writeTenths = -1;  // 1..9: that many tenths of the image's packets
    // Or a phase of the updater's own.
    std::optional<core::UpdatePhase> phase;
    // The model classes whose road passes here.
    std::vector<ModelClass> classes;
};

struct FaultCase {
    ModelClass modelClass;
    int deviceType;
    FaultPoint point;
};

// Every point of the update, in the order the road meets them.
std::vector<FaultPoint> faultPoints();

// Every case: each point for each class whose road passes it; the device
// type cycles through the class's types.
std::vector<FaultCase> allFaultCases();

// The sample `make test` runs: a few of every kind, every class.
std::vector<FaultCase> sampleFaultCases();

std::string faultCaseName(const FaultCase& c);
// How GoogleTest prints a case.
void PrintTo(const FaultCase& c, std::ostream* out);

}  // namespace reliability
