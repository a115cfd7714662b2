// The simulated GPS's radio (its version, its update from the files on the
// drive, its restart) and its font loader.
#include <cstdio>

#include "sim/DriveFolder.h"
#include "sim/SimulatedFirmware.h"
#include "sim/SimulatedGpsParts.h"

namespace sim {

using namespace gps;

// The radio build a GPS of this type already runs. The updater has a table
// of the same numbers for the build it carries; the GPS keeps its own so that
// the two sides stay independent and a slip on either shows in the tests.
int32_t currentRadioBuildFor(int deviceType) {
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

std::string radioVersionTextFor(int32_t build) {
    // The updater reads the digits after the first and second dots as the
    // version and those after the third as a three-digit build.
    const int32_t version = build / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "nRF VERSION: 2.%d.%02d.%d", static_cast<int>(version / 100),
                  static_cast<int>(version % 100), static_cast<int>(build % 1000));
    return text;
}

void SimulatedGps::Impl::radioUpdate(uint64_t gen, uint16_t crc, uint32_t length) {
    const GpsConfig settings = configCopy();
    const std::string& folder = settings.driveFolder;
    const int type = settings.deviceType;
    const bool fails = settings.faults.radioUpdateFails;
    // The radio takes its image from the device's own storage, whether or not
    // the computer still has the drive mounted.
    std::string refusal;
    const std::string binPath = folder + "/nrf_update.bin";
    std::optional<std::vector<uint8_t>> image =
        folder.empty() ? std::nullopt : drive::readFile(binPath);
    if (!image) {
        refusal = "nrf_update.bin missing";
    } else if (image->size() != length) {
        refusal = "nrf_update.bin has " + std::to_string(image->size()) + " bytes, " +
                  std::to_string(length) + " announced";
    } else if (radioImageCrc16(image->data(), image->size()) != crc) {
        refusal = "nrf_update.bin fails its CRC";
    } else if (type >= 11 && type <= 16) {
        const std::optional<uint64_t> datSize = drive::fileSize(folder + "/nrf_update.dat");
        if (!datSize || *datSize == 0) refusal = "nrf_update.dat missing";
    }
    if (refusal.empty() && fails) refusal = "the radio failed to program";

    std::lock_guard lock(mutex);
    if (generation != gen || mode != GpsMode::Application) return;
    const GpsTiming& t = config.timing;
    const int64_t now = clock.nowMs();
    if (!refusal.empty()) {
        noteLocked("radio update refused: " + refusal);
        std::vector<uint8_t> payload{kRadioFailedCode};
        payload.insert(payload.end(), {'N', 'R', 'F', ' ', 'E', 'R', 'R', 0});
        queueAtLocked(frameReply(payload, config.faults.badCrc), now);
        return;
    }
    const int ticks = std::max(t.radioTicks, 0);
    std::optional<UnplugPlan> pull = takePlanLocked(GpsStep::RadioProgramming);
    const int sent = pull ? ticks / 2 : ticks;
    for (int i = 0; i < sent; ++i) {
        queueAtLocked(textReply("*", config.faults.badCrc), now + int64_t(i) * t.radioTickMs);
    }
    const int64_t doneAt = now + int64_t(sent) * t.radioTickMs;
    if (pull) {
        const UnplugPlan plan = *pull;
        schedule(doneAt - now, gen,
                 [this, plan](uint64_t) { pullCable(plan, "unplugged at RadioProgramming"); });
        return;
    }
    queueAtLocked(textReply("Succus!!", config.faults.badCrc), doneAt, true);
    noteLocked("radio programmed");
    radioRestartPending = true;
    // Restarts once a host read the news, or once no open handle still holds
    // it unread: a host that is slow to drain the ticks does not lose it.
    schedule(doneAt - now + t.answerTimeoutMs, gen,
             [this](uint64_t g) { restartUnlessAwaited(g); });
}

void SimulatedGps::Impl::restartUnlessAwaited(uint64_t gen) {
    std::lock_guard lock(mutex);
    if (!radioRestartPending) return;
    const bool awaited = std::any_of(openLinks.begin(), openLinks.end(), [](const LinkHandle* l) {
        return l->holdsUnreadAnnouncementLocked();
    });
    if (!awaited) {
        restartAnnouncedLocked();
        return;
    }
    schedule(config.timing.answerTimeoutMs, gen, [this](uint64_t g) { restartUnlessAwaited(g); });
}

void SimulatedGps::Impl::radioRestart(uint64_t gen) {
    int bootMs;
    {
        std::lock_guard lock(mutex);
        bootMs = config.timing.bootMs;
    }
    const bool left = change(GpsMode::Unplugged, false, gen, false, [this] {
        config.radioBuild = currentRadioBuildFor(config.deviceType);
        config.faults.silentRadio = false;  // the new radio firmware answers
        noteLocked("radio restarted with build " + std::to_string(config.radioBuild));
    });
    if (!left) return;
    schedule(bootMs, gen, [this](uint64_t g) { enterApplication(g, false, false); });
}

void SimulatedGps::Impl::fontLoad(uint64_t gen) {
    const GpsConfig settings = configCopy();
    const std::string& folder = settings.driveFolder;
    const int type = settings.deviceType;
    const int failAfter = settings.faults.fontFailAfterPacks;
    const int64_t packMs = settings.timing.fontLoadMs;
    struct Pack {
        const char* name;
        uint8_t letter;
    };
    std::vector<Pack> packs;
    if (type == 11 || type == 12) {
        packs = {{"Kanji_19x19.bin", 'C'}};
    } else {
        packs = {{"Kanji_11x12.bin", 'A'}, {"Kanji_18x18.bin", 'B'}};
    }
    // Decided now, from the files as they stand; answered as each pack loads.
    std::vector<std::pair<std::string, uint8_t>> answers;
    for (size_t i = 0; i < packs.size(); ++i) {
        const std::string name = packs[i].name;
        std::string problem;
        if (failAfter >= 0 && static_cast<int>(i) >= failAfter) {
            problem = "loading failed";
        } else {
            const std::optional<uint64_t> size = drive::fileSize(folder + "/" + name);
            const std::optional<uint32_t> expected = fontPackSize(name);
            if (!size) {
                problem = "missing";
            } else if (!expected || *size != *expected) {
                problem = "has " + std::to_string(*size) + " bytes";
            }
        }
        if (!problem.empty()) {
            answers.emplace_back(name + " " + problem, 'D');
            break;
        }
        answers.emplace_back(name + " loaded", packs[i].letter);
    }

    std::lock_guard lock(mutex);
    if (generation != gen || mode != GpsMode::Application) return;
    const int64_t now = clock.nowMs();
    for (size_t i = 0; i < answers.size(); ++i) {
        const auto& [text, letter] = answers[i];
        const int64_t at = now + int64_t(i + 1) * packMs;
        // Progress text the updater ignores, then the status letter.
        queueAtLocked(textReply("Loading " + text.substr(0, text.find(' '))), at - packMs / 2);
        std::vector<uint8_t> payload{letter};
        payload.insert(payload.end(), text.begin(), text.end());
        payload.push_back(0);
        queueAtLocked(frameReply(payload), at);
        noteLocked(std::string("fonts: ") + static_cast<char>(letter) + " (" + text + ")");
    }
}

void SimulatedGps::setRadioBuild(int32_t build) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.radioBuild = build;
}

int32_t SimulatedGps::radioBuild() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config.radioBuild;
}

}  // namespace sim
