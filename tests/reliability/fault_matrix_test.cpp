// The fault matrix against the simulated GPS: for every case the cable is
// pulled at one point of the automatic update and plugged back in. Then:
// - the program is alive and every wait ended (everything falls quiet);
// - it ends in a state it tells the user (an offer, the latest-software
//   text, an error with its OK, a message box, the recovery dialog, or the
//   request to connect the device), never a progress bar left spinning;
// - the device is brought back as a user would: by the offered update, the
//   recovery dialog, or by starting the program again after it ended;
// - an Osprey Max's files on its drive are the same as before, bit for bit.
//
// Built twice: test_reliability runs a sample in `make test`; with
// QUORTA_FAULT_MATRIX_FULL every case runs (`make reliability`). Each case
// prints one line "fault-matrix: <case> ended=<how> back=<how>"; with
// QUORTA_FAULT_MATRIX_REPORT set, the lines are appended to that file too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include "../update_e2e/E2eTest.h"
#include "FaultMatrix.h"
#include "core/Backup.h"
#include "core/Context.h"
#include "core/images/firmwareImages.h"

namespace reliability {
namespace {

using namespace std::chrono_literals;

// Clock time the device stays unplugged.
constexpr int64_t kPlugBackMs = 4000;
// Real time any one phase may take before it counts as a wait that never ends.
constexpr auto kQuietTimeout = 180s;

// The cable pulled when the updater enters a phase: watches the context's
// phases, and pulls at the first match only.
class PhaseTrigger {
  public:
    void install() {
        core::updatePhases().watch(
            [this](core::UpdatePhase, core::UpdatePhase entered) { check(entered); });
    }
    void arm(sim::SimulatedGps* gps, core::UpdatePhase phase) {
        std::lock_guard lock(mutex_);
        gps_ = gps;
        phase_ = phase;
    }
    bool fired() const { return fired_; }

  private:
    void check(core::UpdatePhase entered) {
        sim::SimulatedGps* gps;
        {
            std::lock_guard lock(mutex_);
            if (!gps_ || fired_ || entered != phase_) return;
            fired_ = true;
            gps = gps_;
        }
        gps->unplug();
    }

    std::mutex mutex_;
    sim::SimulatedGps* gps_ = nullptr;
    core::UpdatePhase phase_ = core::UpdatePhase::Idle;
    std::atomic<bool> fired_{false};
};

// The firmware version each class starts from: one before the carried one.
sim::GpsConfig startingConfig(const FaultCase& c) {
    sim::GpsConfig config;
    config.deviceType = c.deviceType;
    config.japanese = true;
    const core::FirmwareVersion target = core::firmwareVersionTable[size_t(c.deviceType)];
    config.versionMajor = c.modelClass == ModelClass::OspreyMax ? 12 : target.major;
    config.versionMinor = c.modelClass == ModelClass::OspreyMax ? 40 : target.minor - 1;
    // Types 4 to 10 only take the radio's road with an outdated radio.
    if (c.modelClass == ModelClass::Classic) config.radioBuild = 1021000;
    return config;
}

// Data packets of the write of this type's Japanese image.
int writePackets(int deviceType) {
    const images::CompressedImage* image = images::findFirmwareImage(deviceType, 60);
    return image ? int((image->decodedLength + 31) / 32) : 0;
}

bool activityStarts(const sim::SimulatedGps& gps, const std::string& prefix) {
    for (const std::string& line : gps.activity())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

class FaultMatrixTest : public e2e::UpdateE2eTest, public ::testing::WithParamInterface<FaultCase> {
  protected:
    void SetUp() override {
        e2e::UpdateE2eTest::SetUp();
        trigger.install();
    }

    // How the program stands once everything fell quiet; "" when it tells
    // the user nothing (a spinner with nothing behind it, say).
    std::string howItStands(size_t boxesBefore) {
        core::UpdaterState& st = core::state();
        e2e::RigWindow& w = rig->window;
        if (rig->showsLatest() && !w.progressVisible()) return "latest";
        if (st.recoveryDialogOpen) return "recovery-dialog";
        if (w.destroyed() && w.boxes().size() > boxesBefore) return "ended-with-message";
        if (w.progressVisible()) return "";
        if (w.buttonVisible() && w.buttonText().rfind("Update to", 0) == 0) return "offer";
        // The device with its versions, or an error, above an OK button.
        if (w.buttonVisible())
            return st.statusTitle().rfind("Error", 0) == 0 ? "error-shown" : "device-shown";
        if (st.statusTitle() == core::kConnectTitle || st.statusTitle().empty())
            return "connect-request";
        if (w.boxes().size() > boxesBefore) return "message-box";
        return "";
    }

    // A new start of the program on the same computer: the state a new
    // process begins with, then its start-up scan.
    void startProgramAgain() {
        rig->restartProgram();
        restarted = true;
        rig->startUp();
    }

    bool deviceIsBack(sim::SimulatedGps& gps, int type) {
        images::ImageVersion v;
        const core::FirmwareVersion target = core::firmwareVersionTable[size_t(type)];
        return gps.mode() == sim::GpsMode::Application &&
               gps.checkFlashImage(&v) == images::ImageCheck::ok &&
               v == images::ImageVersion{type, 60, target.major, target.minor} &&
               rig->showsLatest();
    }

    // One action of the user on what the program shows: the recovery
    // dialog's choice, the offered update, "Force update" from the menu for a
    // device shown without an offer, or else starting the program again.
    std::string bringBackStep(sim::SimulatedGps& gps, size_t boxesBefore) {
        const std::string now = howItStands(boxesBefore);
        const FaultCase& c = GetParam();
        if (now == "recovery-dialog" && gps.mode() == sim::GpsMode::RomBootloader) {
            rig->chooseInRecoveryDialog(c.deviceType, core::kJapaneseVariant);
            return "recovery";
        }
        if (now == "offer") {
            rig->clickUpdateButton();
            return "update";
        }
        const bool alive = !rig->window.destroyed() || restarted;
        if (alive && core::state().ishf && gps.mode() == sim::GpsMode::Application) {
            rig->forceUpdate();
            return "force-update";
        }
        startProgramAgain();
        return "restart";
    }

    void report(const std::string& line) {
        std::printf("fault-matrix: %s\n", line.c_str());
        if (const char* file = std::getenv("QUORTA_FAULT_MATRIX_REPORT")) {
            std::ofstream(file, std::ios::app) << line << "\n";
        }
    }

    PhaseTrigger trigger;
    bool restarted = false;  // the program was started again (a new process)
};

TEST_P(FaultMatrixTest, UnpluggedAndPluggedBack) {
    const FaultCase& c = GetParam();
    sim::SimulatedGps& gps = addGps(startingConfig(c));
    const std::string quorta = gps.driveFolder() + "/Quorta";
    if (c.modelClass == ModelClass::OspreyMax) writeUserData(quorta);
    const auto before = snapshotTree(quorta);
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer()) << "no offer for the device before the fault";

    if (c.point.step) {
        sim::UnplugPlan plan;
        plan.step = *c.point.step;
        if (c.point.writeTenths >= 0)
            plan.afterDataPackets = writePackets(c.deviceType) * c.point.writeTenths / 10;
        plan.plugBackAfterMs = kPlugBackMs;
        gps.unplugAt(plan);
    } else {
        trigger.arm(&gps, *c.point.phase);
    }
    rig->clickUpdateButton();

    // The road reaches the point, the cable is pulled and plugged back.
    ASSERT_TRUE(rig->waitFor([&] { return trigger.fired() || activityStarts(gps, "unplugged at"); },
                             kQuietTimeout))
        << "the update never reached " << c.point.name;
    if (trigger.fired()) {
        std::this_thread::sleep_for(rig->clock.realDuration(kPlugBackMs));
        gps.powerOn();
    }
    ASSERT_TRUE(rig->waitQuiet(gps, kQuietTimeout)) << "a wait did not end";

    const std::string ended = howItStands(0);
    ASSERT_FALSE(ended.empty()) << "the program tells the user nothing";

    // Brought back as a user would, a few rounds at most.
    std::string back;
    for (int round = 0; round < 4 && !deviceIsBack(gps, c.deviceType); ++round) {
        const size_t boxes = rig->window.boxes().size();
        std::string step = bringBackStep(gps, round == 0 ? 0 : boxes);
        back += (back.empty() ? "" : "+") + step;
        ASSERT_TRUE(rig->waitQuiet(gps, kQuietTimeout)) << "a wait did not end after " << back;
        // A restarted program waits for the user on what it shows.
        if (step == "restart") {
            step = bringBackStep(gps, boxes);
            if (step == "restart") continue;
            back += "+" + step;
            ASSERT_TRUE(rig->waitQuiet(gps, kQuietTimeout)) << "a wait did not end after " << back;
        }
    }
    EXPECT_TRUE(deviceIsBack(gps, c.deviceType))
        << "the device was not brought back (" << back << ")";
    if (c.modelClass == ModelClass::OspreyMax) {
        EXPECT_EQ(snapshotTree(quorta), before) << "the user's files on the drive changed";
    }
    report(faultCaseName(c) + " ended=" + ended + " back=" + (back.empty() ? "itself" : back) +
           (c.modelClass == ModelClass::OspreyMax
                ? std::string(" files=") + (snapshotTree(quorta) == before ? "same" : "DIFFERENT")
                : std::string()));
}

std::string caseName(const ::testing::TestParamInfo<FaultCase>& info) {
    return faultCaseName(info.param);
}

#ifdef QUORTA_FAULT_MATRIX_FULL
INSTANTIATE_TEST_SUITE_P(Every, FaultMatrixTest, ::testing::ValuesIn(allFaultCases()), caseName);
#else
INSTANTIATE_TEST_SUITE_P(Sample, FaultMatrixTest, ::testing::ValuesIn(sampleFaultCases()),
                         caseName);
#endif

}  // namespace
}  // namespace reliability
