// Which step an update has reached, as one typed value that core publishes.
// Front ends, the simulated GPS's unplug points, the trace and the end-of-update
// notice watch it; the status texts and log lines are output only.
//
// Header-only with no dependencies, so that the simulated GPS, which plugs in
// from the side, can name the phases its unplug points wait for.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace core {

// In the order an update meets them. The finer ones between the broad steps
// (BackedUp, RadioCopy, LanguagePackCopy, Restored ...) mark the moments
// between two of the device's or the drive's steps that a fault may hit.
enum class UpdatePhase {
    Idle,                  // nothing shown yet
    DeviceShown,           // a GPS was read and is shown with its versions
    BackingUp,             // the rider's files are copied off the drive
    BackedUp,              // a whole backup is kept
    Jumping,               // JUMP_TO_BL goes to the GPS's application
    WaitingForBootloader,  // the GPS restarts into its flash bootloader
    Erasing,
    Writing,
    Resetting,            // the bootloader restarts the GPS into its new firmware
    Continuing,           // the GPS is back on its new firmware; the update goes on
    FactoryReset,         // FACTORY_RESET before the radio (emptied drive)
    RadioCopy,            // the radio's files go onto the drive
    Radio,                // the GPS programs its radio
    RadioDone,            // the radio is programmed; the GPS restarts
    LanguagePackCopy,     // the font packs go onto the drive
    LanguagePacks,        // the GPS loads its font packs
    LanguagePacksLoaded,  // every font pack is loaded
    Restoring,            // the backup goes back onto the drive
    Restored,             // the backup is back and checked
    PuttingBackHeld,      // a backup held from an earlier run goes back
    Done,                 // "Latest software is installed on device"
    Failed,               // the update ended without it
    Recovery,             // the recovery of a GPS in its ROM bootloader
    // (Recovery stays last: updatePhaseNamed looks up to it.)
};

const char* updatePhaseName(UpdatePhase phase);

// The phase and who watches it. A watcher is called on the thread that sets
// the phase, after it changed, with the phase left and the phase entered;
// setting the phase the update is already in tells nobody.
class UpdatePhases {
  public:
    using Watcher = std::function<void(UpdatePhase left, UpdatePhase entered)>;

    void set(UpdatePhase phase) {
        std::vector<Watcher> watchers;
        UpdatePhase left;
        {
            std::lock_guard lock(mutex_);
            if (phase == phase_) return;
            left = phase_;
            phase_ = phase;
            watchers = watchers_;
        }
        for (const Watcher& w : watchers) w(left, phase);
    }
    UpdatePhase current() const {
        std::lock_guard lock(mutex_);
        return phase_;
    }
    // Watches for as long as the phases live (the context's lifetime).
    void watch(Watcher watcher) {
        std::lock_guard lock(mutex_);
        watchers_.push_back(std::move(watcher));
    }

  private:
    mutable std::mutex mutex_;
    UpdatePhase phase_ = UpdatePhase::Idle;
    std::vector<Watcher> watchers_;
};

inline const char* updatePhaseName(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::Idle:
            return "idle";
        case UpdatePhase::DeviceShown:
            return "device-shown";
        case UpdatePhase::BackingUp:
            return "backing-up";
        case UpdatePhase::BackedUp:
            return "backed-up";
        case UpdatePhase::Jumping:
            return "jumping";
        case UpdatePhase::WaitingForBootloader:
            return "waiting-for-bootloader";
        case UpdatePhase::Erasing:
            return "erasing";
        case UpdatePhase::Writing:
            return "writing";
        case UpdatePhase::Resetting:
            return "resetting";
        case UpdatePhase::Continuing:
            return "continuing";
        case UpdatePhase::FactoryReset:
            return "factory-reset";
        case UpdatePhase::RadioCopy:
            return "radio-copy";
        case UpdatePhase::Radio:
            return "radio";
        case UpdatePhase::RadioDone:
            return "radio-done";
        case UpdatePhase::LanguagePackCopy:
            return "language-pack-copy";
        case UpdatePhase::LanguagePacks:
            return "language-packs";
        case UpdatePhase::LanguagePacksLoaded:
            return "language-packs-loaded";
        case UpdatePhase::Restoring:
            return "restoring";
        case UpdatePhase::Restored:
            return "restored";
        case UpdatePhase::PuttingBackHeld:
            return "putting-back-held";
        case UpdatePhase::Done:
            return "done";
        case UpdatePhase::Failed:
            return "failed";
        case UpdatePhase::Recovery:
            return "recovery";
    }
    return "?";
}

// The phase updatePhaseName gives `name` to, for a program told the phases
// from outside (the emulator, through a pipe); none for any other text.
inline std::optional<UpdatePhase> updatePhaseNamed(std::string_view name) {
    for (int i = 0; i <= static_cast<int>(UpdatePhase::Recovery); ++i) {
        const UpdatePhase phase = static_cast<UpdatePhase>(i);
        if (name == updatePhaseName(phase)) return phase;
    }
    return std::nullopt;
}

}  // namespace core
