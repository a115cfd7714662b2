#include "core/UpdaterState.h"

#include <utility>

#include "core/Context.h"

namespace core {

std::string UpdaterState::statusTitle() const {
    std::lock_guard lock(textMutex_);
    return statusTitle_;
}

std::string UpdaterState::statusDetail() const {
    std::lock_guard lock(textMutex_);
    return statusDetail_;
}

void UpdaterState::setStatusTitle(std::string title) {
    std::lock_guard lock(textMutex_);
    statusTitle_ = std::move(title);
}

void UpdaterState::setStatusDetail(std::string detail) {
    std::lock_guard lock(textMutex_);
    statusDetail_ = std::move(detail);
}

void UpdaterState::setStatus(const char* title, const char* detail) {
    std::lock_guard lock(textMutex_);
    if (title) statusTitle_ = title;
    if (detail) statusDetail_ = detail;
}

std::string UpdaterState::gpsDriveRoot() const {
    std::lock_guard lock(textMutex_);
    return gpsDriveRoot_;
}

void UpdaterState::setGpsDriveRoot(std::string root) {
    std::lock_guard lock(textMutex_);
    gpsDriveRoot_ = std::move(root);
}

std::string UpdaterState::heldBackupFolder() const {
    std::lock_guard lock(textMutex_);
    return heldBackupFolder_;
}

void UpdaterState::setHeldBackupFolder(std::string folder) {
    std::lock_guard lock(textMutex_);
    heldBackupFolder_ = std::move(folder);
}

std::string UpdaterState::exchangeRefusedNode(std::string node) {
    std::lock_guard lock(textMutex_);
    return std::exchange(refusedNode_, std::move(node));
}

std::string UpdaterState::refusedNode() const {
    std::lock_guard lock(textMutex_);
    return refusedNode_;
}

std::optional<std::string> UpdaterState::foundDriveRoot() const {
    std::lock_guard lock(textMutex_);
    if (!foundDrive_) return std::nullopt;
    return foundDrive_->root;
}

void UpdaterState::setFoundDriveRoot(std::string root) {
    std::lock_guard lock(textMutex_);
    if (!foundDrive_) foundDrive_.emplace();
    foundDrive_->root = std::move(root);
}

std::optional<platform::VolumeInfo> UpdaterState::foundDrive() const {
    std::lock_guard lock(textMutex_);
    return foundDrive_;
}

void UpdaterState::setFoundDrive(platform::VolumeInfo drive) {
    std::lock_guard lock(textMutex_);
    foundDrive_ = std::move(drive);
}

std::optional<platform::UsbDevice> UpdaterState::gpsUsbDevice() const {
    std::lock_guard lock(textMutex_);
    return gpsUsbDevice_;
}

void UpdaterState::setGpsUsbDevice(std::optional<platform::UsbDevice> device) {
    std::lock_guard lock(textMutex_);
    gpsUsbDevice_ = std::move(device);
}

UpdaterState& state() {
    return context().state;
}

}  // namespace core
