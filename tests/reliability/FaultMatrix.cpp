#include "FaultMatrix.h"

#include <algorithm>

namespace reliability {

namespace {

using sim::GpsStep;
constexpr ModelClass A = ModelClass::Classic;
constexpr ModelClass B = ModelClass::Condor;
constexpr ModelClass C = ModelClass::OspreyMax;
constexpr ModelClass D = ModelClass::Heron;
const std::vector<ModelClass> kAll = {A, B, C, D};
const std::vector<ModelClass> kWithFonts = {B, C, D};

FaultPoint atStep(std::string name, GpsStep step, std::vector<ModelClass> classes = kAll) {
    FaultPoint p;
    p.name = std::move(name);
    p.step = step;
    p.classes = std::move(classes);
    return p;
}

FaultPoint atText(std::string name, std::string text, std::vector<ModelClass> classes = kAll,
                  bool prefix = false) {
    FaultPoint p;
    p.name = std::move(name);
    p.text = std::move(text);
    p.prefix = prefix;
    p.classes = std::move(classes);
    return p;
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
    std::vector<FaultPoint> points;
    points.push_back(atText("BeforeBackup", "Save GPS Data To Local...\r\n"));
    points.push_back(atText("AfterBackup", "Save GPS Data To Local...DONE\r\n", {C}));
    points.push_back(atText("BeforeJump", "Sending command JUMP_TO_BL\r\n"));
    points.push_back(atStep("AtJump", GpsStep::JumpToBootloader));
    points.push_back(atStep("AfterJump", GpsStep::BootloaderShown));
    points.push_back(atStep("BeforeErase", GpsStep::Erase));
    FaultPoint afterErase = atStep("AfterErase", GpsStep::Write);
    afterErase.writeTenths = 0;
    points.push_back(afterErase);
    for (int tenths = 1; tenths <= 9; ++tenths) {
        FaultPoint p = atStep("Write" + std::to_string(tenths * 10), GpsStep::Write);
        p.writeTenths = tenths;
        points.push_back(p);
    }
    points.push_back(atStep("BeforeReset", GpsStep::BootloaderReset));
    points.push_back(atStep("AfterReset", GpsStep::ApplicationShown));
    points.push_back(atText("AfterReturn", "\r\n Start Auto Update\r\n"));
    points.push_back(atStep("AtFactoryReset", GpsStep::FactoryReset, {C}));
    points.push_back(atText("BeforeRadioCopy", "Compressed nrf size", kAll, true));
    points.push_back(atText("AfterRadioCopy", "successfully wrote new nrf_update.bin\r\n"));
    points.push_back(atStep("BeforeRadioProgramming", GpsStep::RadioUpdate));
    points.push_back(atStep("DuringRadioProgramming", GpsStep::RadioProgramming));
    points.push_back(atText("AfterRadioProgramming", "Waiting for Device."));
    points.push_back(atText("BeforeFontCopy", "Language Pack Update\nUnPacking", kWithFonts));
    points.push_back(
        atText("AfterFontCopy", "Language Pack Update\nDevice Loading...", kWithFonts));
    points.push_back(atStep("BeforeFontLoading", GpsStep::FontLoading, kWithFonts));
    FaultPoint afterFonts = atText("AfterFontLoading", "Language Pack 2 of 2 done!", {C, D});
    points.push_back(afterFonts);
    points.push_back(atText("AfterFontLoadingCondor", "Language Pack condor done!", {B}));
    points.push_back(atText("BeforeRestore", "Save Local Data To GPS...\r\n", {C}));
    points.push_back(atText("AfterRestore", "Save Local Data To GPS...DONE\r\n", {C}));
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
