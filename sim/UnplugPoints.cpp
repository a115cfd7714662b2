#include "sim/UnplugPoints.h"

#include <cctype>

namespace sim {

namespace {

UnplugPoint atStep(std::string name, GpsStep step, std::string what, int writePercent = -1) {
    UnplugPoint p;
    p.name = std::move(name);
    p.step = step;
    p.writePercent = writePercent;
    p.what = std::move(what);
    return p;
}

UnplugPoint atPhase(std::string name, core::UpdatePhase phase, std::string what) {
    UnplugPoint p;
    p.name = std::move(name);
    p.phase = phase;
    p.what = std::move(what);
    return p;
}

std::vector<UnplugPoint> makePoints() {
    std::vector<UnplugPoint> points;
    points.push_back(atPhase("BeforeBackup", core::UpdatePhase::BackingUp,
                             "as the updater starts the backup of the GPS's data"));
    points.push_back(atPhase("AfterBackup", core::UpdatePhase::BackedUp,
                             "once the backup is made (an Osprey Max below 13.0)"));
    points.push_back(
        atPhase("BeforeJump", core::UpdatePhase::Jumping, "as the updater sends JUMP_TO_BL"));
    points.push_back(atStep("AtJump", GpsStep::JumpToBootloader,
                            "when JUMP_TO_BL arrives, instead of restarting"));
    points.push_back(
        atStep("AfterJump", GpsStep::BootloaderShown, "as soon as a bootloader shows on USB"));
    points.push_back(atStep("BeforeErase", GpsStep::Erase, "when the erase command arrives"));
    points.push_back(
        atStep("AfterErase", GpsStep::Write, "when the write command arrives, before any data", 0));
    for (int percent = 10; percent <= 90; percent += 10) {
        points.push_back(
            atStep("Write" + std::to_string(percent), GpsStep::Write,
                   "after " + std::to_string(percent) + "% of the write's data packets", percent));
    }
    points.push_back(
        atStep("BeforeReset", GpsStep::BootloaderReset, "when the bootloader's reset arrives"));
    points.push_back(atStep("AfterReset", GpsStep::ApplicationShown,
                            "as soon as the GPS's application shows on USB again"));
    points.push_back(atPhase("AfterReturn", core::UpdatePhase::Continuing,
                             "as the updater goes on with the update after the firmware"));
    points.push_back(atStep("AtFactoryReset", GpsStep::FactoryReset,
                            "when FACTORY_RESET arrives (an Osprey Max below 13.0)"));
    points.push_back(atPhase("BeforeRadioCopy", core::UpdatePhase::RadioCopy,
                             "as the updater starts copying the radio files"));
    points.push_back(atPhase("AfterRadioCopy", core::UpdatePhase::Radio,
                             "once the radio files are on the drive"));
    points.push_back(
        atStep("BeforeRadioProgramming", GpsStep::RadioUpdate, "when UPDATE_NORDIC arrives"));
    points.push_back(atStep("DuringRadioProgramming", GpsStep::RadioProgramming,
                            "halfway through the radio's programming"));
    points.push_back(atPhase("AfterRadioProgramming", core::UpdatePhase::RadioDone,
                             "once the radio is programmed"));
    points.push_back(atPhase("BeforeFontCopy", core::UpdatePhase::LanguagePackCopy,
                             "as the updater starts copying the font packs"));
    points.push_back(atPhase("AfterFontCopy", core::UpdatePhase::LanguagePacks,
                             "once the font packs are on the drive"));
    points.push_back(
        atStep("BeforeFontLoading", GpsStep::FontLoading, "when KANJI_PROGRAM_FLASH arrives"));
    points.push_back(atPhase("AfterFontLoading", core::UpdatePhase::LanguagePacksLoaded,
                             "once both font packs are loaded (types 13 to 16)"));
    points.push_back(atPhase("AfterFontLoadingCondor", core::UpdatePhase::LanguagePacksLoaded,
                             "once the font pack is loaded (types 11 and 12)"));
    points.push_back(atPhase("BeforeRestore", core::UpdatePhase::Restoring,
                             "as the updater starts putting the backup back"));
    points.push_back(atPhase("AfterRestore", core::UpdatePhase::Restored,
                             "once the backup is back on the drive"));
    return points;
}

}  // namespace

const std::vector<UnplugPoint>& unplugPoints() {
    static const std::vector<UnplugPoint> points = makePoints();
    return points;
}

std::string unplugOptionName(const UnplugPoint& point) {
    std::string name;
    for (size_t i = 0; i < point.name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(point.name[i]);
        const bool digitRunStarts = std::isdigit(c) && i > 0 &&
                                    !std::isdigit(static_cast<unsigned char>(point.name[i - 1]));
        if (i > 0 && (std::isupper(c) || digitRunStarts)) name += '-';
        name += static_cast<char>(std::tolower(c));
    }
    return name;
}

bool unplugPhaseMatches(const UnplugPoint& point, core::UpdatePhase entered) {
    return !point.step && point.phase == entered;
}

}  // namespace sim
