// The simulated GPS's life (its thread, its start and end), its identity on
// the bus and the events a change of it raises, and its public calls. What it
// plays is in files of their own: GpsApplicationLink.cpp, GpsBootloaders.cpp,
// GpsDrive.cpp and GpsRadioAndFonts.cpp, around SimulatedGpsParts.h.
#include "sim/SimulatedGps.h"

#include <cstdio>
#include <filesystem>

#include "sim/SimulatedFirmware.h"
#include "sim/SimulatedGpsParts.h"

namespace sim {

using namespace gps;

namespace gps {

std::string hardwareIdText(uint16_t vid, uint16_t pid) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_0100", vid, pid);
    return text;
}

std::string versionText(int major, int minor, bool japanese) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%02d %s", major, minor,
                  japanese ? "Japanese" : "standard");
    return text;
}

}  // namespace gps

// --- Names -------------------------------------------------------------------------

const char* gpsModeName(GpsMode mode) {
    switch (mode) {
        case GpsMode::Unplugged:
            return "unplugged";
        case GpsMode::Application:
            return "application";
        case GpsMode::FlashBootloader:
            return "flash bootloader";
        case GpsMode::RomBootloader:
            return "ROM bootloader";
    }
    return "?";
}

const char* gpsStepName(GpsStep step) {
    switch (step) {
        case GpsStep::JumpToBootloader:
            return "JumpToBootloader";
        case GpsStep::BootloaderShown:
            return "BootloaderShown";
        case GpsStep::Erase:
            return "Erase";
        case GpsStep::Write:
            return "Write";
        case GpsStep::BootloaderReset:
            return "BootloaderReset";
        case GpsStep::ApplicationShown:
            return "ApplicationShown";
        case GpsStep::RadioUpdate:
            return "RadioUpdate";
        case GpsStep::RadioProgramming:
            return "RadioProgramming";
        case GpsStep::FontLoading:
            return "FontLoading";
        case GpsStep::FactoryReset:
            return "FactoryReset";
    }
    return "?";
}

// --- Impl: life ------------------------------------------------------------------

void SimulatedGps::Impl::start() {
    std::weak_ptr<Impl> weak = weak_from_this();
    // Its USB ids are those of the node it is enumerated under (the product
    // id follows the variant the device runs); the target's own are nominal.
    const uint16_t flashPid =
        static_cast<uint16_t>(config.deviceType + (config.japanese ? kJapaneseOffset : 0));
    flashBl = std::make_shared<BootloaderTarget>(kGpsVendorId, flashPid, clock);
    flashBl->setReservedFlashRegion(0, kApplicationAddress - 1);
    flashBl->unplug();
    romBl = std::make_shared<BootloaderTarget>(kRomVendorId, kRomProductId, clock);
    romBl->unplug();
    for (const auto& target : {flashBl, romBl}) {
        target->setFlashSectorSize(config.flashSectorSize);
        target->setResetHook([weak] {
            if (auto s = weak.lock()) s->onBootloaderReset();
        });
    }
    scheduler = std::make_unique<Scheduler>(clock);

    const images::ImageVersion factory{config.deviceType, config.japanese ? kJapaneseOffset : 0,
                                       config.versionMajor, config.versionMinor};
    loadImage(makeFirmwareImage(factory));
    if (config.faults.driveReadOnly) applyReadOnly(true);
}

void SimulatedGps::Impl::shutdown() {
    scheduler->stop();
    {
        std::lock_guard lock(outboxMutex);
        sink = nullptr;
        outbox.clear();
    }
    change(GpsMode::Unplugged, false, std::nullopt, true);
    for (const auto& target : {flashBl, romBl}) target->setResetHook(nullptr);
    applyReadOnly(false);
}

void SimulatedGps::Impl::schedule(int64_t delayMs, uint64_t gen, Action action) {
    scheduler->at(clock.nowMs() + std::max<int64_t>(delayMs, 0),
                  [this, gen, action = std::move(action)] {
                      {
                          std::lock_guard lock(mutex);
                          if (generation != gen) return;  // the cable moved meanwhile
                      }
                      action(gen);
                  });
}

// --- Impl: identity ----------------------------------------------------------------

bool SimulatedGps::Impl::change(std::optional<GpsMode> newMode, std::optional<bool> newDriveUp,
                                std::optional<uint64_t> expectedGen, bool physical,
                                const std::function<void()>& underLock) {
    std::lock_guard identity(identityMutex);
    GpsMode old;
    int bootloaderOpenFailures = 0;
    uint16_t flashPid = 0;
    {
        std::lock_guard lock(mutex);
        if (expectedGen && *expectedGen != generation) return false;
        old = mode;
        bootloaderOpenFailures = config.faults.bootloaderOpenFailures;
        flashPid =
            static_cast<uint16_t>(config.deviceType + (config.japanese ? kJapaneseOffset : 0));
    }
    const GpsMode target = newMode.value_or(old);
    const bool identityChanges = target != old;

    // The bus first: the old node is gone and the new one can be opened by
    // the time anybody sees the new mode.
    if (identityChanges) {
        if (node) {
            node->kill();
            hidport::removeSimulatedDevice(node.get());
            node.reset();
        }
        if (old == GpsMode::Application) {
            if (freeLink) hidport::removeSimulatedDevice(freeLink.get());
            freeLink.reset();
            std::lock_guard lock(mutex);
            for (LinkHandle* link : openLinks) link->killLocked();
            openLinks.clear();
            changed.notify_all();
        }
        if (old == GpsMode::FlashBootloader) flashBl->unplug();
        if (old == GpsMode::RomBootloader) romBl->unplug();
        // One flash behind both bootloaders: it follows the one enumerated.
        if (old == GpsMode::RomBootloader) {
            flashBl->flash().preload(0, romBl->flash().read(0, FlashModel::kSize));
        }
        if (target == GpsMode::RomBootloader) {
            romBl->flash().preload(0, flashBl->flash().read(0, FlashModel::kSize));
        }
        std::weak_ptr<Impl> weak = weak_from_this();
        switch (target) {
            case GpsMode::Application: {
                uint64_t enumeration;
                {
                    std::lock_guard lock(mutex);
                    enumeration = ++appEnumeration;
                    appShownAtMs = clock.nowMs();
                }
                freeLink = std::make_shared<LinkHandle>(weak, enumeration);
                hidport::addSimulatedDevice(freeLink);
                break;
            }
            case GpsMode::FlashBootloader:
                // The node carries the product id: the bootloader names the
                // variant the device last ran.
                flashBl->plugIn();
                if (bootloaderOpenFailures > 0) {
                    BootloaderFaults f = flashBl->faults();
                    f.openFailures = bootloaderOpenFailures;
                    flashBl->setFaults(f);
                }
                node = std::make_shared<UsbNode>(kGpsVendorId, flashPid, flashBl, weak);
                break;
            case GpsMode::RomBootloader:
                romBl->plugIn();
                node = std::make_shared<UsbNode>(kRomVendorId, kRomProductId, romBl, weak);
                break;
            case GpsMode::Unplugged:
                break;
        }
        if (node) hidport::addSimulatedDevice(node);
    }

    std::vector<platform::DeviceEvent> events;
    {
        std::lock_guard lock(mutex);
        if (physical) ++generation;
        const bool driveBefore = driveVisibleLocked();
        if (underLock) underLock();
        mode = target;
        driveUp = target == GpsMode::Application && newDriveUp.value_or(driveUp);
        if (identityChanges) {
            resetPending = false;
            radioRestartPending = false;
            noteLocked(std::string(gpsModeName(target)) +
                       (target == GpsMode::Unplugged ? "" : " shown"));
        }
        const bool driveAfter = driveVisibleLocked();
        if (driveBefore && !driveAfter) {
            events.push_back(platform::DeviceEvent::VolumeRemoveComplete);
        }
        if (identityChanges) events.push_back(platform::DeviceEvent::DevNodesChanged);
        if (!driveBefore && driveAfter) events.push_back(platform::DeviceEvent::VolumeArrival);
        if (driveBefore != driveAfter) noteLocked(driveAfter ? "drive mounted" : "drive gone");
        changed.notify_all();
    }
    post(events);
    return true;
}

void SimulatedGps::Impl::post(const std::vector<platform::DeviceEvent>& events) {
    if (events.empty()) return;
    {
        std::lock_guard lock(outboxMutex);
        outbox.insert(outbox.end(), events.begin(), events.end());
    }
    // Delivered from the GPS's thread only, so they keep their order.
    scheduler->at(clock.nowMs(), [this] { drainEvents(); });
}

void SimulatedGps::Impl::drainEvents() {
    for (;;) {
        platform::DeviceEvent event;
        std::function<void(platform::DeviceEvent)> to;
        {
            std::lock_guard lock(outboxMutex);
            if (outbox.empty()) return;
            event = outbox.front();
            outbox.pop_front();
            to = sink;
        }
        if (to) to(event);
    }
}

void SimulatedGps::Impl::checkShownStep(GpsStep step) {
    std::optional<UnplugPlan> pull;
    {
        std::lock_guard lock(mutex);
        pull = takePlanLocked(step);
    }
    if (pull) pullCable(*pull, std::string("unplugged at ") + gpsStepName(step));
}

void SimulatedGps::Impl::enterApplication(std::optional<uint64_t> gen, bool physical, bool driveNow,
                                          const std::function<void()>& underLock) {
    if (!change(GpsMode::Application, driveNow, gen, physical, underLock)) return;
    checkShownStep(GpsStep::ApplicationShown);
    if (driveNow) return;
    std::lock_guard lock(mutex);
    laterLocked(config.timing.driveMountMs,
                [this](uint64_t g) { change(std::nullopt, true, g, false); });
}

void SimulatedGps::Impl::enterBootloader(GpsMode which, std::optional<uint64_t> gen, bool physical,
                                         const std::function<void()>& underLock) {
    if (!change(which, false, gen, physical, underLock)) return;
    checkShownStep(GpsStep::BootloaderShown);
}

void SimulatedGps::Impl::bootFromFlash(std::optional<uint64_t> gen, bool physical) {
    const std::vector<uint8_t> flash =
        readFlash(kApplicationAddress, FlashModel::kSize - kApplicationAddress);
    images::ImageVersion version;
    const images::ImageCheck check = images::checkImage(flash.data(), flash.size(), &version);
    std::string reason;
    if (check != images::ImageCheck::ok) {
        reason = images::imageCheckText(check);
    } else if (version.deviceType != config.deviceType) {
        // The type is the hardware's; another type's firmware does not run on it.
        reason = "image for device type " + std::to_string(version.deviceType);
    }
    if (!reason.empty()) {
        enterBootloader(GpsMode::RomBootloader, gen, physical,
                        [this, reason] { noteLocked("boot failed: " + reason); });
        return;
    }
    enterApplication(gen, physical, false, [this, version] {
        config.versionMajor = version.major;
        config.versionMinor = version.minor;
        config.japanese = version.variant == kJapaneseOffset;
        noteLocked("booted " + versionText(version.major, version.minor, config.japanese));
    });
}

void SimulatedGps::Impl::pullCable(const UnplugPlan& unplug, const std::string& why) {
    change(GpsMode::Unplugged, false, std::nullopt, true, [this, why] { noteLocked(why); });
    if (unplug.plugBackAfterMs < 0) return;
    std::lock_guard lock(mutex);
    laterLocked(unplug.plugBackAfterMs, [this](uint64_t) {
        {
            std::lock_guard l(mutex);
            noteLocked("plugged back in");
        }
        bootFromFlash(std::nullopt, true);
    });
}

// --- SimulatedGps ------------------------------------------------------------------

SimulatedGps::SimulatedGps(GpsConfig config, platform::Clock* clock) {
    if (config.radioBuild == 0) config.radioBuild = currentRadioBuildFor(config.deviceType);
    if (!config.driveFolder.empty()) {
        std::error_code ec;
        if (!std::filesystem::exists(config.driveFolder, ec)) {
            std::filesystem::create_directories(
                std::filesystem::path(config.driveFolder) / "Quorta", ec);
        }
    }
    impl_ = std::make_shared<Impl>(std::move(config), clock ? *clock : platform::sharedClock());
    impl_->start();
}

SimulatedGps::~SimulatedGps() {
    impl_->shutdown();
}

void SimulatedGps::plugIn(GpsMode mode) {
    if (mode == GpsMode::Unplugged) {
        unplug();
        return;
    }
    if (mode == GpsMode::RomBootloader && checkFlashImage() == images::ImageCheck::ok) {
        // A device sits in its ROM bootloader because nothing bootable is left.
        impl_->loadImage({});
    }
    if (mode == GpsMode::Application) {
        impl_->enterApplication(std::nullopt, true, true);
    } else {
        impl_->enterBootloader(mode, std::nullopt, true);
    }
}

void SimulatedGps::unplug() {
    impl_->change(GpsMode::Unplugged, false, std::nullopt, true);
}

void SimulatedGps::powerOn() {
    impl_->bootFromFlash(std::nullopt, true);
}

GpsMode SimulatedGps::mode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mode;
}

uint16_t SimulatedGps::usbVendorId() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mode == GpsMode::RomBootloader ? kRomVendorId : kGpsVendorId;
}

uint16_t SimulatedGps::usbProductId() const {
    std::lock_guard lock(impl_->mutex);
    switch (impl_->mode) {
        case GpsMode::Application:
            return kAppProductId;
        case GpsMode::FlashBootloader:
            return static_cast<uint16_t>(impl_->config.deviceType +
                                         (impl_->config.japanese ? kJapaneseOffset : 0));
        case GpsMode::RomBootloader:
            return kRomProductId;
        case GpsMode::Unplugged:
            break;
    }
    return 0;
}

std::string SimulatedGps::hardwareId() const {
    if (mode() == GpsMode::Unplugged) return "";
    return hardwareIdText(usbVendorId(), usbProductId());
}

platform::UsbDevice SimulatedGps::usbDevice() const {
    platform::UsbDevice d;
    d.hardwareId = hardwareId();
    std::lock_guard lock(impl_->mutex);
    d.path = impl_->config.usbPath;
    if (impl_->mode == GpsMode::Application) d.serial = impl_->config.usbSerial;
    return d;
}

int SimulatedGps::rawId() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config.deviceType + (impl_->config.japanese ? kJapaneseOffset : 0);
}

bool SimulatedGps::waitForMode(GpsMode mode, int64_t timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, impl_->clock.realDuration(timeoutMs),
                                   [&] { return impl_->mode == mode; });
}

bool SimulatedGps::waitUntilSettled(int64_t timeoutMs) const {
    return impl_->scheduler->waitIdle(impl_->clock.realDuration(timeoutMs));
}

void SimulatedGps::setEventSink(std::function<void(platform::DeviceEvent)> sink) {
    std::lock_guard lock(impl_->outboxMutex);
    impl_->sink = std::move(sink);
}

GpsConfig SimulatedGps::config() const {
    return impl_->configCopy();
}

void SimulatedGps::setFaults(const GpsFaults& faults) {
    // As a change that keeps mode and drive, so that a drive the fault hides
    // or shows raises its event like any other.
    impl_->change(std::nullopt, std::nullopt, std::nullopt, false,
                  [&] { impl_->config.faults = faults; });
    impl_->applyReadOnly(faults.driveReadOnly);
}

void SimulatedGps::setTiming(const GpsTiming& timing) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.timing = timing;
}

void SimulatedGps::setVersion(int major, int minor) {
    images::ImageVersion version;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->config.versionMajor = major;
        impl_->config.versionMinor = minor;
        version = {impl_->config.deviceType, impl_->config.japanese ? kJapaneseOffset : 0, major,
                   minor};
    }
    impl_->loadImage(makeFirmwareImage(version));
}

void SimulatedGps::unplugAt(const UnplugPlan& plan) {
    std::lock_guard lock(impl_->mutex);
    impl_->plan = plan;
}

void SimulatedGps::pullCable(int64_t plugBackAfterMs, const std::string& why) {
    UnplugPlan plan;
    plan.plugBackAfterMs = plugBackAfterMs;
    impl_->pullCable(plan, why);
}

void SimulatedGps::clearUnplugPlan() {
    std::lock_guard lock(impl_->mutex);
    impl_->plan.reset();
}

std::vector<std::string> SimulatedGps::activity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->activity;
}

}  // namespace sim
