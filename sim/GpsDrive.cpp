// The simulated GPS's drive: how the computer sees it, what the device does
// to it itself (a factory reset empties its Quorta folder), and its being
// read-only to the computer.
#include <filesystem>

#include "sim/DriveFolder.h"
#include "sim/SimulatedGpsParts.h"

namespace sim {

using namespace gps;

void SimulatedGps::Impl::factoryReset(uint64_t gen) {
    std::string folder;
    int bootMs;
    {
        std::lock_guard lock(mutex);
        folder = config.driveFolder;
        bootMs = config.timing.bootMs;
    }
    bool emptied = true;
    if (!folder.empty()) onOwnDrive([&] { emptied = drive::emptyFolder(folder + "/Quorta"); });
    const bool left = change(GpsMode::Unplugged, false, gen, false, [this, emptied] {
        noteLocked(emptied ? "factory reset: Quorta folder emptied"
                           : "factory reset: Quorta folder could not be emptied");
    });
    if (!left) return;
    schedule(bootMs, gen, [this](uint64_t g) { enterApplication(g, false, false); });
}

void SimulatedGps::Impl::onOwnDrive(const std::function<void()>& work) {
    std::lock_guard lock(driveMutex);
    const bool locked = readOnlyApplied;
    std::string folder;
    {
        std::lock_guard l(mutex);
        folder = config.driveFolder;
    }
    if (locked) drive::setReadOnly(folder, false);
    work();
    if (locked) drive::setReadOnly(folder, true);
}

void SimulatedGps::Impl::applyReadOnly(bool readOnly) {
    std::lock_guard lock(driveMutex);
    if (readOnlyApplied == readOnly) return;
    std::string folder;
    {
        std::lock_guard l(mutex);
        folder = config.driveFolder;
    }
    if (folder.empty()) return;
    drive::setReadOnly(folder, readOnly);
    readOnlyApplied = readOnly;
}

bool SimulatedGps::driveMounted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->driveVisibleLocked();
}

std::string SimulatedGps::driveFolder() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config.driveFolder;
}

std::string SimulatedGps::driveRoot() const {
    std::string root = driveFolder();
    if (!root.empty() && root.back() != '/') root += '/';
    return root;
}

std::optional<platform::VolumeInfo> SimulatedGps::driveVolume() const {
    DriveStyle style;
    platform::VolumeInfo v;
    bool readOnly;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->driveVisibleLocked()) return std::nullopt;
        style = impl_->config.driveStyle;
        readOnly = impl_->config.faults.driveReadOnly;
        v.usbDevice = impl_->config.usbPath;
        v.usbSerial = impl_->config.usbSerial;
    }
    v.usbVendorId = kGpsVendorId;
    v.root = driveRoot();
    v.removable = true;
    v.label = style == DriveStyle::LabelledQuorta ? "QUORTA" : "";
    v.fileSystem = style == DriveStyle::Ntfs ? "NTFS" : "FAT32";
    v.readOnly = readOnly;
    return v;
}

void SimulatedGps::removeDrive() {
    impl_->change(std::nullopt, false, std::nullopt, false);
}

bool SimulatedGps::waitForDrive(bool mounted, int64_t timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, impl_->clock.realDuration(timeoutMs),
                                   [&] { return impl_->driveVisibleLocked() == mounted; });
}

}  // namespace sim
