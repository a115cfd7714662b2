#include "FaultMatrix.h"

#include <algorithm>
#include <map>

#include "sim/UnplugPoints.h"

namespace reliability {

namespace {

using sim::GpsStep;
constexpr ModelClass A = ModelClass::Classic;
constexpr ModelClass B = ModelClass::Condor;
constexpr ModelClass C = ModelClass::OspreyMax;
constexpr ModelClass D = ModelClass::Heron;
const std::vector<ModelClass> kAll = {A, B, C, D};
const std::vector<ModelClass> kWithFonts = {B, C, D};

// The classes whose road passes a point (every class unless listed).
std::vector<ModelClass> classesAt(const std::string& name) {
    static const std::map<std::string, std::vector<ModelClass>> only = {
        {"AfterBackup", {C}},
        {"AtFactoryReset", {C}},
        {"BeforeFontCopy", kWithFonts},
        {"AfterFontCopy", kWithFonts},
        {"BeforeFontLoading", kWithFonts},
        {"AfterFontLoading", {C, D}},
        {"AfterFontLoadingCondor", {B}},
        {"BeforeRestore", {C}},
        {"AfterRestore", {C}},
    };
    auto it = only.find(name);
    return it == only.end() ? kAll : it->second;
}

const std::vector<int>& typesOf(ModelClass c) {
    static const std::vector<int> classic = {4, 5, 6, 7, 8, 9, 10};
    static const std::vector<int> condor = {11, 12};
    static const std::vector<int> ospreyMax = {13};
    static const std::vector<int> heron = {14, 15, 16};
    switch (c) {
        case ModelClass::Classic:
            return classic;
        case ModelClass::Condor:
            return condor;
        case ModelClass::OspreyMax:
            return ospreyMax;
        case ModelClass::Heron:
            return heron;
    }
    return classic;
}

}  // namespace

const char* modelClassName(ModelClass c) {
    switch (c) {
        case ModelClass::Classic:
            return "Classic";
        case ModelClass::Condor:
            return "Condor";
        case ModelClass::OspreyMax:
            return "OspreyMax";
        case ModelClass::Heron:
            return "Heron";
    }
    return "?";
}

std::vector<FaultPoint> faultPoints() {
    // The same points, by the same names, as --simulate-fault=unplug@NAME.
    std::vector<FaultPoint> points;
    for (const sim::UnplugPoint& u : sim::unplugPoints()) {
        FaultPoint p;
        p.name = u.name;
        p.step = u.step;
        if (u.step == GpsStep::Write) p.writeTenths = u.writePercent / 10;
        p.phase = u.phase;
        p.classes = classesAt(u.name);
        points.push_back(p);
    }
    return points;
}

std::vector<FaultCase> allFaultCases() {
    std::vector<FaultCase> cases;
    for (ModelClass c : kAll) {
        const std::vector<int>& types = typesOf(c);
        size_t next = 0;
        for (const FaultPoint& p : faultPoints()) {
            if (std::find(p.classes.begin(), p.classes.end(), c) == p.classes.end()) continue;
            cases.push_back({c, types[next++ % types.size()], p});
        }
    }
    return cases;
}

std::vector<FaultCase> sampleFaultCases() {
    // One host step, the jump, the write and the return, the radio and the
    // fonts, spread over the classes; the Osprey Max's data at its riskiest.
    const std::vector<std::pair<ModelClass, std::string>> picks = {
        {A, "BeforeJump"},
        {A, "Write50"},
        {A, "AfterRadioProgramming"},
        {B, "AfterReset"},
        {B, "AfterRadioCopy"},
        {C, "AfterBackup"},
        {C, "AtFactoryReset"},
        {C, "BeforeRestore"},
        {D, "BeforeErase"},
        {D, "DuringRadioProgramming"},
        {D, "BeforeFontLoading"},
    };
    std::vector<FaultCase> cases;
    for (const FaultCase& c : allFaultCases()) {
        for (const auto& [cls, name] : picks)
            if (c.modelClass == cls && c.point.name == name) cases.push_back(c);
    }
    return cases;
}

std::string faultCaseName(const FaultCase& c) {
    return std::string(modelClassName(c.modelClass)) + "Type" + std::to_string(c.deviceType) + "_" +
           c.point.name;
}

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << faultCaseName(c);
}

}  // namespace reliability
